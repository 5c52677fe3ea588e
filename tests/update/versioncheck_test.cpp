// The update check and the error reports, against a local HTTPS server.
#include "httpsserver.h"
#include "support/eventloop.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"

#include "update/updatedeployment.h"
#include "update/versioncheck.h"
#include "update/vinfodownload.h"

#include <QSslCertificate>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

using Answer = TestHttpsServer::Answer;
using Request = TestHttpsServer::Request;

QString data(const char* name) {
    return QStringLiteral(ORVANTA_UPDATE_TEST_DATA "/") + QLatin1String(name);
}

Answer body(const QByteArray& text, const QByteArray& status = "200 OK") {
    Answer a;
    a.body = text;
    a.status = status;
    return a;
}

Answer hold() {
    Answer a;
    a.kind = Answer::Kind::Hold;
    return a;
}

// Serves the event loop for a while, for the cases where the point is that nothing happens.
void settle(int ms) {
    bool done = false;
    QTimer::singleShot(ms, [&] { done = true; });
    ASSERT_TRUE(processUntil([&] { return done; }));
}

// The expected encoding, written independently of the code under test.
QByteArray percentEncoded(const QString& text) {
    QByteArray out;
    for (const char c : text.toUtf8()) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
            b == '-' || b == '.' || b == '_' || b == '~')
            out += char(b);
        else
            out += '%' + QByteArray::number(b, 16).toUpper().rightJustified(2, '0');
    }
    return out;
}

class VersionCheckTest : public ::testing::Test {
protected:
    void SetUp() override { check = make(server); }

    std::unique_ptr<TVersionCheck> make(TestHttpsServer& on) {
        auto c = std::make_unique<TVersionCheck>(7);
        UpdateDeployment d;
        d.host = on.host();
        d.versionFile = QStringLiteral("/tallisk/tallisk.xml");
        d.downloadUrl = QStringLiteral("https://127.0.0.1/download");
        d.productId = 7;
        applyDeployment(*c, d);
        c->setTrustedCertificates(QSslCertificate::fromPath(data("server.crt")));
        c->openUrl = [this](const QString& url) { opened << url; };
        return c;
    }

    bool finished() {
        return processUntil([&] { return !check->busy(); });
    }

    QString versionFileUrl() const {
        return QStringLiteral("https://") + server.host() + QStringLiteral("/tallisk/tallisk.xml");
    }

    FakeMessages messages;
    TestHttpsServer server{data("server.crt"), data("server.key")};
    std::unique_ptr<TVersionCheck> check;
    QStringList opened;
};

TEST(VersionCompareTest, FourNumbersWithTheirWeights) {
    EXPECT_FALSE(TVersionCheck::isNewer("3.5.0.0", "3.5.0.0"));
    EXPECT_TRUE(TVersionCheck::isNewer("3.10.0.0", "3.9.9.9"));
    EXPECT_FALSE(TVersionCheck::isNewer("3.9.9.9", "3.10.0.0"));
    EXPECT_TRUE(TVersionCheck::isNewer("3.5.0.1", "3.5.0.0"));
    // Missing numbers count as 0.
    EXPECT_TRUE(TVersionCheck::isNewer("3.5", "3.4.9.9"));
    EXPECT_FALSE(TVersionCheck::isNewer("3.5", "3.5.0.0"));
    EXPECT_FALSE(TVersionCheck::isNewer("0.1.0.0", "0.1.0"));
    EXPECT_TRUE(TVersionCheck::isNewer("0.1.1", "0.1.0"));
    // The weights, not the numbers one by one: 99 hundreds stay below one ten-thousand.
    EXPECT_FALSE(TVersionCheck::isNewer("3.4.99.99", "3.5.0.0"));
    // Without a dot, never newer.
    EXPECT_FALSE(TVersionCheck::isNewer("4", "3.5.0.0"));
    EXPECT_FALSE(TVersionCheck::isNewer("99999", "0.0.0.1"));
    // Not version numbers at all.
    EXPECT_FALSE(TVersionCheck::isNewer("<html>4.0</html>", "3.5.0.0"));
    EXPECT_FALSE(TVersionCheck::isNewer("4.0.0.0.0", "3.5.0.0"));
    EXPECT_FALSE(TVersionCheck::isNewer("4.-1.0.0", "3.5.0.0"));
    EXPECT_FALSE(TVersionCheck::isNewer("99999999999.0", "3.5.0.0"));
}

TEST(UpdateDeploymentTest, BuildValuesEnvironmentOverridesAndBadHosts) {
    for (const char* name : {"ORVANTA_UPDATE_HOST", "ORVANTA_UPDATE_VERSION_FILE",
                             "ORVANTA_UPDATE_DOWNLOAD_URL", "ORVANTA_UPDATE_PRODUCT_ID"})
        qunsetenv(name);
    // This build names no server: nothing is ever sent.
    EXPECT_EQ(updateDeployment().host, QString());
    EXPECT_FALSE(updateDeployment().configured());
    EXPECT_EQ(updateDeployment().versionFile, QStringLiteral("/tallisk/tallisk.xml"));
    // The own version is the project's, as About and --version show it.
    EXPECT_EQ(ownFileVersion(), QStringLiteral(ORVANTA_TEST_PROJECT_VERSION));
    EXPECT_EQ(TVersionCheck(1).fFileversion, ownFileVersion());

    qputenv("ORVANTA_UPDATE_HOST", "127.0.0.1:8443");
    qputenv("ORVANTA_UPDATE_VERSION_FILE", "/v/file.xml");
    qputenv("ORVANTA_UPDATE_PRODUCT_ID", "42");
    UpdateDeployment d = updateDeployment();
    EXPECT_EQ(d.host, QStringLiteral("127.0.0.1:8443"));
    EXPECT_EQ(d.productId, 42);
    TVersionCheck check(0);
    applyDeployment(check, d);
    EXPECT_TRUE(check.configured());
    EXPECT_EQ(check.fpid, 42);
    EXPECT_EQ(check.fURLCurrVerFile, QStringLiteral("https://127.0.0.1:8443/v/file.xml"));
    EXPECT_EQ(check.fSiteName, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(check.fDownloadURL, QStringLiteral("https://127.0.0.1:8443/"));
    EXPECT_TRUE(check.fFailureDlg);
    EXPECT_TRUE(check.fDownloadDlg);
    qputenv("ORVANTA_UPDATE_DOWNLOAD_URL", "https://example.invalid/get");
    EXPECT_EQ(updateDeployment().downloadUrl, QStringLiteral("https://example.invalid/get"));

    // Anything but a bare host and port sends nothing rather than something unexpected.
    for (const char* bad : {"user@127.0.0.1", "127.0.0.1/path", "127.0.0.1?x=1", "a b",
                            "127.0.0.1:port", "https://127.0.0.1"}) {
        qputenv("ORVANTA_UPDATE_HOST", bad);
        EXPECT_FALSE(updateDeployment().configured()) << bad;
    }
    // Set but empty: off, whatever the build says.
    qputenv("ORVANTA_UPDATE_HOST", "");
    EXPECT_FALSE(updateDeployment().configured());
    for (const char* name : {"ORVANTA_UPDATE_HOST", "ORVANTA_UPDATE_VERSION_FILE",
                             "ORVANTA_UPDATE_DOWNLOAD_URL", "ORVANTA_UPDATE_PRODUCT_ID"})
        qunsetenv(name);
}

TEST_F(VersionCheckTest, ANewerVersionIsOfferedAndYesOpensTheDownloadPage) {
    server.respond = [](const Request&, int) { return body("  3.10.0.0\r\n"); };
    check->fFileversion = QStringLiteral("3.9.9.9");
    messages.answers = {MessageResult::Yes, MessageResult::No};
    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text,
              QStringLiteral("There is a new version 3.10.0.0 of this program\navailable at "
                             "127.0.0.1\nDo you want to download it now?"));
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Question);
    EXPECT_EQ(messages.shown[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(opened, QStringList({"https://127.0.0.1/download"}));

    // No opens nothing; the owner's hook sees the text and may change the address.
    QString seen;
    check->fOnGetURL = [&](const QString& version, QString& url) {
        seen = version;
        url = QStringLiteral("https://127.0.0.1/other");
    };
    check->Execute();
    ASSERT_TRUE(finished());
    EXPECT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(opened.size(), 1);
    EXPECT_EQ(seen, QStringLiteral("3.10.0.0"));
    messages.answers = {MessageResult::Yes};
    check->Execute();
    ASSERT_TRUE(finished());
    EXPECT_EQ(opened.last(), QStringLiteral("https://127.0.0.1/other"));

    // Without the question nothing is said at all, least of all "latest".
    check->fDownloadDlg = false;
    check->Execute();
    ASSERT_TRUE(finished());
    EXPECT_EQ(messages.shown.size(), 3u);
}

TEST_F(VersionCheckTest, TheSameVersionIsReportedOnlyForTheMenuCommand) {
    QByteArray answer = "3.5.0.0";
    server.respond = [&](const Request&, int) { return body(answer); };
    check->fFileversion = QStringLiteral("3.5.0.0");
    // The start-up check.
    check->fNoUpdatesDlg = false;
    check->Execute();
    ASSERT_TRUE(finished());
    EXPECT_TRUE(messages.shown.empty());
    // The menu command.
    check->fNoUpdatesDlg = true;
    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text,
              QStringLiteral("You already have the latest version 3.5.0.0 of this program"));
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Information);
    // A number without a dot is never newer.
    answer = "9";
    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[1].icon, MessageIcon::Information);
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_EQ(server.requests.size(), 3u);
}

TEST_F(VersionCheckTest, TheRequestIsWhatTheServerReceives) {
    server.respond = [](const Request&, int) { return body("0.0.0.1"); };
    check->Execute();
    ASSERT_TRUE(finished());
    check->firstrun = true;
    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_EQ(server.requests.size(), 2u);
    const Request& r = server.requests[0];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/pad/getpad.php?pad=/tallisk/tallisk.xml&field=version");
    EXPECT_EQ(r.headers.value("user-agent"), "CheckUpdates/1.0");
    EXPECT_EQ(r.headers.value("cache-control"), "no-cache");
    EXPECT_EQ(r.headers.value("pragma"), "no-cache");
    EXPECT_EQ(r.headers.value("host"), server.host().toUtf8());
    EXPECT_EQ(server.requests[1].target,
              "/pad/getpad.php?pad=/tallisk/tallisk.xml&field=version&firstrun=true");
}

TEST_F(VersionCheckTest, FailuresAreShownWithTheirCodeOnlyWhenAsked) {
    QList<Answer> answers = {body("gone", "404 Not Found"), body("", "200 OK"),
                             body("\r\n \t", "200 OK"), body("<html>Error 5.0</html>")};
    server.respond = [&](const Request&, int index) { return answers.value(index % 4); };
    const QString prefix = QStringLiteral("Could not download file version information from:\n") +
                           versionFileUrl() + QLatin1Char('\n');
    for (int i = 0; i < 4; ++i) {
        check->Execute();
        ASSERT_TRUE(finished());
    }
    ASSERT_EQ(messages.shown.size(), 4u);
    for (const auto& shown : messages.shown) {
        EXPECT_TRUE(shown.text.startsWith(prefix)) << shown.text.toStdString();
        EXPECT_EQ(shown.icon, MessageIcon::Error);
    }
    // Qt's own code and text for an HTTP error.
    EXPECT_TRUE(messages.shown[0].text.endsWith(QStringLiteral(" (203)")))
        << messages.shown[0].text.toStdString();
    EXPECT_TRUE(messages.shown[0].text.contains(QStringLiteral("Not Found")));
    EXPECT_EQ(messages.shown[1].text,
              prefix + QStringLiteral("The server's answer is empty (299)"));
    EXPECT_EQ(messages.shown[2].text,
              prefix + QStringLiteral("The server's answer is empty (299)"));
    EXPECT_EQ(messages.shown[3].text,
              prefix + QStringLiteral("The server's answer is not a version number (299)"));

    // Silent unless asked; and an error page is never the latest version either.
    check->fFailureDlg = false;
    for (int i = 0; i < 4; ++i) {
        check->Execute();
        ASSERT_TRUE(finished());
    }
    EXPECT_EQ(messages.shown.size(), 4u);
    EXPECT_EQ(server.requests.size(), 8u);
}

TEST_F(VersionCheckTest, AReportIsSentPercentEncodedByteByByteAndNothingIsShown) {
    server.respond = [](const Request&, int) { return body("9.9.9.9", "404 Not Found"); };
    const QString info = QStringLiteral("Zugriff verweigert: Größe ä 東京");
    // The version goes with four numbers, as reports have always named it.
    check->fFileversion = QStringLiteral("2.4.0");
    check->reporterror(info);
    ASSERT_TRUE(finished());
    ASSERT_EQ(server.requests.size(), 1u);
    const Request& r = server.requests[0];
    const QByteArray expected =
        QByteArray("/pad/appevents.php?product=7&version=2.4.0.0") +
        "&type=1&msg=E:%20Zugriff%20verweigert%3A%20Gr%C3%B6%C3%9Fe%20%C3%A4%20%E6%9D%B1%E4%BA%AC" +
        percentEncoded(QStringLiteral(" System:") + TVersionCheck::systemDescription());
    EXPECT_EQ(r.target, expected);
    EXPECT_EQ(r.headers.value("user-agent"), "AppEvents/1.1");
    EXPECT_EQ(r.headers.value("cache-control"), "no-cache");
    // Neither the failure nor the version in the answer shows anything.
    EXPECT_TRUE(messages.shown.empty());

    // A long trace is cut to a request line that servers accept; the system stays.
    check->reporterror(QString(20000, QLatin1Char('y')) + QStringLiteral("東"));
    ASSERT_TRUE(finished());
    ASSERT_EQ(server.requests.size(), 2u);
    EXPECT_LT(server.requests[1].target.size(), 8000);
    EXPECT_TRUE(server.requests[1].target.endsWith(
        percentEncoded(QStringLiteral(" System:") + TVersionCheck::systemDescription())));
    EXPECT_TRUE(server.requests[1].target.contains("&msg=E:%20yyyy"));
}

TEST_F(VersionCheckTest, ANewRequestCancelsTheOneUnderWay) {
    server.respond = [](const Request&, int index) {
        return index == 0 ? hold() : body("9.0.0.0");
    };
    check->Execute();
    ASSERT_TRUE(processUntil([&] { return server.requests.size() == 1; }));
    messages.answers = {MessageResult::No};
    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_TRUE(processUntil([&] { return server.disconnections >= 2; }));
    ASSERT_EQ(server.requests.size(), 2u);
    // One answer, from the second request; the first one was closed unanswered.
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Question);

    // A report also takes the place of a version request under way.
    server.respond = [](const Request&, int index) {
        return index == 2 ? hold() : body("9.0.0.0");
    };
    check->Execute();
    ASSERT_TRUE(processUntil([&] { return server.requests.size() == 3; }));
    check->reporterror(QStringLiteral("boom"));
    ASSERT_TRUE(finished());
    ASSERT_EQ(server.requests.size(), 4u);
    EXPECT_TRUE(server.requests[3].target.startsWith("/pad/appevents.php?"));
    settle(200);
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(VersionCheckTest, AnUntrustedCertificateFailsBeforeAnyRequest) {
    TestHttpsServer stranger(data("other.crt"), data("other.key"));
    stranger.respond = [](const Request&, int) { return body("9.0.0.0"); };
    check = make(stranger);
    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Error);
    // QNetworkReply::SslHandshakeFailedError.
    EXPECT_TRUE(messages.shown[0].text.endsWith(QStringLiteral(" (6)")))
        << messages.shown[0].text.toStdString();
    EXPECT_TRUE(stranger.requests.empty());

    // Without the test's certificate even the right server is not trusted.
    check = make(server);
    check->setTrustedCertificates({});
    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_TRUE(messages.shown[1].text.endsWith(QStringLiteral(" (6)")))
        << messages.shown[1].text.toStdString();
    EXPECT_TRUE(server.requests.empty());
    EXPECT_TRUE(opened.isEmpty());
}

TEST_F(VersionCheckTest, HugeAndMissingAnswersFail) {
    QList<Answer> answers;
    Answer claimed = body("");
    claimed.claimedLength = 100 * 1024 * 1024;
    Answer flood;
    flood.kind = Answer::Kind::Flood;
    flood.floodBytes = 256 * 1024 * 1024;
    answers = {claimed, flood, hold()};
    server.respond = [&](const Request&, int index) { return answers.value(index); };
    const QString prefix = QStringLiteral("Could not download file version information from:\n") +
                           versionFileUrl() + QLatin1Char('\n');

    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text,
              prefix + QStringLiteral("The server's answer is larger than 64 KiB (299)"));

    // No length given: the body is cut off once it passes the limit, long before its end.
    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[1].text,
              prefix + QStringLiteral("The server's answer is larger than 64 KiB (299)"));
    ASSERT_TRUE(processUntil([&] { return server.disconnections >= 2; }));
    EXPECT_LT(server.floodSent, flood.floodBytes);

    // A server that never answers.
    check->setTimeoutMs(1000);
    check->Execute();
    ASSERT_TRUE(finished());
    ASSERT_EQ(messages.shown.size(), 3u);
    EXPECT_EQ(messages.shown[2].text,
              prefix + QStringLiteral("The server did not answer in time (1 s) (4)"));
    ASSERT_TRUE(processUntil([&] { return server.disconnections >= 3; }));
}

TEST_F(VersionCheckTest, DestroyingTheCheckWhileARequestWaitsEndsIt) {
    server.respond = [](const Request&, int) { return hold(); };
    check->Execute();
    ASSERT_TRUE(processUntil([&] { return server.requests.size() == 1; }));
    check->reporterror(QStringLiteral("late"));
    ASSERT_TRUE(processUntil([&] { return server.requests.size() == 2; }));
    check.reset();
    ASSERT_TRUE(processUntil([&] { return server.disconnections == 2; }));
    settle(200);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(VersionCheckTest, WithoutAServerNothingIsEverSent) {
    server.respond = [](const Request&, int) { return body("9.0.0.0"); };
    UpdateDeployment none;
    none.productId = 7;
    applyDeployment(*check, none);
    EXPECT_FALSE(check->configured());
    // The start-up check and a report: nothing at all.
    check->fNoUpdatesDlg = false;
    check->Execute();
    EXPECT_FALSE(check->busy());
    check->reporterror(QStringLiteral("Zugriff verweigert"));
    EXPECT_FALSE(check->busy());
    EXPECT_TRUE(messages.shown.empty());
    // The menu command says why nothing happens.
    check->fNoUpdatesDlg = true;
    check->Execute();
    EXPECT_FALSE(check->busy());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text,
              QStringLiteral("Update checks are not configured in this build of Orvanta."));
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Information);
    settle(300);
    EXPECT_EQ(server.connections, 0);
}

} // namespace
