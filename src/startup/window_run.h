#pragma once

class QApplication;
struct UpdateInfo;

// Last step of the start-up: runs the event loop; returns the exit code.
int runWindow(QApplication &app, const UpdateInfo &info);
