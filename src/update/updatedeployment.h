#pragma once

#include <QString>

class TVersionCheck;

/// Where the update check asks and where error reports go. Chosen when the program is
/// built; each value can be overridden by the environment variable of the same name
/// (ORVANTA_UPDATE_HOST, ORVANTA_UPDATE_VERSION_FILE, ORVANTA_UPDATE_DOWNLOAD_URL,
/// ORVANTA_UPDATE_PRODUCT_ID), so that packagers and tests can point it elsewhere.
struct UpdateDeployment {
    /// "host" or "host:port"; empty: no request is ever sent.
    QString host;
    /// Path of the version file on the server, e.g. "/tallisk/tallisk.xml".
    QString versionFile;
    /// The download page; empty: the server's home page.
    QString downloadUrl;
    int productId = 0;

    bool configured() const { return !host.isEmpty(); }
};

/// The build's values with the environment's overrides applied. A host that is not a valid
/// "host[:port]" counts as empty (with a warning), so that a typo never sends anything
/// anywhere unexpected. Any thread.
UpdateDeployment updateDeployment();

/// Points the version check at the deployment's server the way the main window uses it:
/// failures are shown and a newer version is offered. Window thread.
void applyDeployment(TVersionCheck& check, const UpdateDeployment& deployment);

/// The program's own version, the project's, as About and --version show it (e.g. "0.1.0").
QString ownFileVersion();
