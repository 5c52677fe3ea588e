#include "updatedeployment.h"

#include "versioncheck.h"

#include "common/version.h"

#include <QUrl>
#include <QtGlobal>

namespace {

QString setting(const char* name, const char* built) {
    if (qEnvironmentVariableIsSet(name))
        return qEnvironmentVariable(name).trimmed();
    return QString::fromUtf8(built).trimmed();
}

// Only a bare authority is accepted: user names, paths or queries in the host value
// would change where the requests go.
bool validHost(const QString& host) {
    const QUrl url(QStringLiteral("https://") + host + QLatin1Char('/'), QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() && url.userInfo().isEmpty() &&
           url.path() == QLatin1String("/") && !url.hasQuery() && !url.hasFragment() &&
           url.authority().compare(host, Qt::CaseInsensitive) == 0;
}

} // namespace

UpdateDeployment updateDeployment() {
    UpdateDeployment d;
    d.host = setting("ORVANTA_UPDATE_HOST", ORVANTA_UPDATE_HOST);
    if (!d.host.isEmpty() && !validHost(d.host)) {
        qWarning("Orvanta: update server \"%s\" is not a valid host[:port]; update checks "
                 "are off",
                 qPrintable(d.host));
        d.host.clear();
    }
    d.versionFile = setting("ORVANTA_UPDATE_VERSION_FILE", ORVANTA_UPDATE_VERSION_FILE);
    if (!d.versionFile.startsWith(QLatin1Char('/')))
        d.versionFile.prepend(QLatin1Char('/'));
    d.downloadUrl = setting("ORVANTA_UPDATE_DOWNLOAD_URL", ORVANTA_UPDATE_DOWNLOAD_URL);
    bool ok = false;
    d.productId = setting("ORVANTA_UPDATE_PRODUCT_ID", ORVANTA_UPDATE_PRODUCT_ID).toInt(&ok);
    if (!ok)
        d.productId = 0;
    return d;
}

void applyDeployment(TVersionCheck& check, const UpdateDeployment& deployment) {
    check.setServerHost(deployment.host);
    check.fpid = deployment.productId;
    if (!deployment.configured())
        return;
    const QUrl server(QStringLiteral("https://") + deployment.host + QLatin1Char('/'));
    check.fURLCurrVerFile = QStringLiteral("https://") + deployment.host + deployment.versionFile;
    check.fDownloadURL =
        deployment.downloadUrl.isEmpty() ? server.toString() : deployment.downloadUrl;
    check.fSiteName = server.host();
    check.fFailureDlg = true;
    check.fDownloadDlg = true;
}

QString ownFileVersion() {
    return QStringLiteral(ORVANTA_VERSION);
}
