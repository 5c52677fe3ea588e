#include "common/datafiles.h"
#include "common/messages.h"
#include "support/fakemessages.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

TEST(DataFiles, FoundThroughTheOverrideThenNextToTheExecutable) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("skin")));
    QFile file(dir.filePath(QStringLiteral("skin/main.png")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    EXPECT_TRUE(findDataFile(QStringLiteral("skin/main.png")).isEmpty());
    setenv("ORVANTA_DATA_DIR", dir.path().toUtf8().constData(), 1);
    EXPECT_EQ(findDataFile(QStringLiteral("skin/main.png")),
              QFileInfo(file.fileName()).canonicalFilePath());
    EXPECT_TRUE(findDataFile(QStringLiteral("skin/missing.png")).isEmpty());
    unsetenv("ORVANTA_DATA_DIR");

    // The executable's own folder is searched: the test binary finds itself.
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    EXPECT_EQ(executableFolder(), QFileInfo(self).absolutePath());
    EXPECT_EQ(findDataFile(QFileInfo(self).fileName()), QFileInfo(self).canonicalFilePath());
}

TEST(Messages, GoToTheInstalledServiceAndBackToStandardError) {
    {
        FakeMessages fake;
        fake.answers.push_back(MessageResult::Yes);
        EXPECT_EQ(messages().show(QStringLiteral("Overwrite?"), QStringLiteral("Orvanta"),
                                  MessageIcon::Question, MessageButtons::YesNo),
                  MessageResult::Yes);
        ASSERT_EQ(fake.shown.size(), 1u);
        EXPECT_EQ(fake.shown[0].text, QStringLiteral("Overwrite?"));
    }
    // Without a service a question is answered No, so nothing is overwritten unasked.
    EXPECT_EQ(messages().show(QStringLiteral("Overwrite?"), QStringLiteral("Orvanta"),
                              MessageIcon::Question, MessageButtons::YesNo),
              MessageResult::No);
}
