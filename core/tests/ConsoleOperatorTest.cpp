#include "core/ConsoleOperator.h"

#include <QString>

#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

// A pipe standing in for a terminal's descriptor.
struct Pipe {
    Pipe() {
        EXPECT_EQ(::pipe(fds), 0);
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    QByteArray drain() {
        QByteArray all;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
            all.append(buffer, n);
        return all;
    }
    int fds[2];
};

TEST(ConsoleOperator, ProgressIsOneLineRewrittenAtMostTenTimesASecond) {
    Pipe terminal;
    QString said;
    QTextStream messages(&said);
    {
        ConsoleOperator op(messages, {.progressFd = terminal.fds[1]});
        for (int i = 1; i <= 20000; ++i)
            op.showCount(i); // far faster than anyone reads
        const QByteArray shown = terminal.drain();
        EXPECT_TRUE(shown.startsWith("\r1 kayıt\033[K")) << shown.toStdString();
        EXPECT_LE(shown.count('\r'), 3) << shown.toStdString();

        // A message first takes the line off the screen.
        op.showMessage("Bilgiler Dosyaya Aktarıldı....", {}, Operator::Icon::None);
        EXPECT_EQ(terminal.drain(), "\r\033[K");
        EXPECT_EQ(said, "Bilgiler Dosyaya Aktarıldı....\n");

        ::usleep(250 * 1000);
        op.setProgressRange(0, 0); // a count without a known end
        op.showCount(30000);
        EXPECT_TRUE(terminal.drain().contains("30.000 kayıt, ")) << "with its rate";
    }
    EXPECT_EQ(terminal.drain(), "\r\033[K") << "cleared when the command ends";

    // A known range shows done/total; a log gets no progress at all.
    ConsoleOperator ranged(messages, {.progressFd = terminal.fds[1]});
    ranged.setProgressRange(0, 1200);
    ranged.setProgress(300);
    EXPECT_EQ(terminal.drain(), "\r300/1.200\033[K");
    // A transfer counts its records against the total the terminal told.
    ConsoleOperator counted(messages, {.progressFd = terminal.fds[1]});
    counted.setProgressRange(0, 5000);
    counted.showCount(1234);
    EXPECT_EQ(terminal.drain(), "\r1.234/5.000 kayıt\033[K");
    counted.clearProgress();
    terminal.drain();
    ConsoleOperator logged(messages);
    logged.showCount(5);
    logged.setProgress(5);
    ranged.clearProgress();
    EXPECT_EQ(terminal.drain(), "\r\033[K");
}

} // namespace
