#pragma once
#include <QString>

#include <QByteArray>

// Records the installed version (and when) in the product's config.ini,
// edited as text so that the customer's entries stay as they are. The keys of
// the package's own copy (packageConfig, when it carried one) that the
// customer's file lacks are added; its values never replace the customer's.
bool updateConfigFile(const QString &configPath, const QString &newVersion, const QByteArray &packageConfig = QByteArray());
