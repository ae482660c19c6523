#pragma once
#include <QString>

// Records the installed version (and when) in the product's config.ini,
// edited as text so that the product's own entries stay as they are.
bool updateConfigFile(const QString &configPath, const QString &newVersion);
