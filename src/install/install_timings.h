#pragma once

// Every fixed wait of the installation, in milliseconds. The product always
// uses the defaults; tests may shorten them through UpdateEngine::setTimings.
struct InstallTimings
{
    int serviceStopWait = 5000;      // daemon "stop"
    int afterServiceStopSleep = 1000;
    int killWait = 3000;             // each taskkill
    int afterKillSleep = 1000;
    int taskListWait = 30000;        // each tasklist query
    int afterShutdownCheckSleep = 2000;
    int afterShutdownSleep = 1000;   // between shutdown and backup
    int beforeFinishSleep = 300;
};
