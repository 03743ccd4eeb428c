#include "daemon/api/DaemonAccess.h"
#include "daemon/api/HttpExchange.h"

#include "support/Files.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace ringlark;
using ringlark::test::writeFile;

namespace {

std::string row(const char* local, const char* state, unsigned uid)
{
    char line[256];
    std::snprintf(line, sizeof line,
                  "%4d: %s 00000000:0000 %s 00000000:00000000 00:00000000 00000000 %5u        0 4711 1 0\n", 0,
                  local, state, uid);
    return line;
}

const std::string header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

} // namespace

TEST(SocketTables, ListenersThatTakeTheConnectionDecide)
{
    QTemporaryDir dir;
    const QByteArray net = dir.path().toUtf8();
    const char* v6any = "00000000000000000000000000000000:1F61";
    const char* v6mapped = "0000000000000000FFFF00000100007F:1F61";
    using L = Listener;
    struct Case {
        std::string tcp, tcp6;
        Listener listener;
    } cases[] = {
        {header + row("0100007F:1F61", "0A", 1000), "", L::ours},
        {header + row("0100007F:1f61", "0A", 1000), "", L::ours}, // hex in either case
        {header + row("0100007F:1F61", "0A", 0), "", L::stranger},
        // The exact address wins over a wildcard of someone else.
        {header + row("00000000:1F61", "0A", 0) + row("0100007F:1F61", "0A", 1000), header + row(v6any, "0A", 0), L::ours},
        {header + row("00000000:1F61", "0A", 1000), "", L::ours},
        // Beside an IPv4 wildcard, an IPv6 one can only be IPv6-only.
        {header + row("00000000:1F61", "0A", 1000), header + row(v6any, "0A", 0), L::ours},
        {header, header + row(v6mapped, "0A", 1000), L::ours},
        {header, header + row(v6any, "0A", 0), L::stranger},
        // Other ports, other addresses, established connections: nobody listens.
        {header + row("0100007F:1F62", "0A", 1000) + row("0200007F:1F61", "0A", 1000), "", L::nobody},
        {header + row("0100007F:0050", "0A", 1000) + row("0100007F:1F61", "01", 1000), "", L::nobody},
        // Listeners come first: rows after the first connection are not read.
        {header + row("0100007F:0050", "06", 1000) + row("0100007F:1F61", "0A", 1000), "", L::nobody},
        {header + "   0: garbage\n" + row("0100007F:1F61", "0A", 1000), "", L::nobody},
    };
    for (const auto& c : cases) {
        writeFile(dir.filePath("tcp"), QByteArray::fromStdString(c.tcp));
        QFile::remove(dir.filePath("tcp6"));
        if (!c.tcp6.empty())
            writeFile(dir.filePath("tcp6"), QByteArray::fromStdString(c.tcp6));
        EXPECT_EQ(classify(findListeners(net.constData(), 8033), 1000), c.listener) << c.tcp << c.tcp6;
    }
    // Without the IPv6 table, its wildcard goes unseen: nobody to talk to.
    writeFile(dir.filePath("tcp"), QByteArray::fromStdString(header));
    writeFile(dir.filePath("tcp6"), QByteArray::fromStdString(header + row(v6any, "0A", 0)));
    EXPECT_EQ(classify(findListeners(net.constData(), 8033, false), 1000), L::nobody);

    // Far more listeners than one read holds: the row is found across refills.
    std::string many = header;
    for (int port = 1; port < 300; ++port) {
        char local[16];
        std::snprintf(local, sizeof local, "0100007F:%04X", port + 10000);
        many += row(local, "0A", 0);
    }
    writeFile(dir.filePath("tcp"), QByteArray::fromStdString(many + row("0100007F:1F61", "0A", 1000)));
    EXPECT_EQ(classify(findListeners(net.constData(), 8033), 1000), Listener::ours);
    QFile::remove(dir.filePath("tcp"));
    EXPECT_EQ(classify(findListeners(net.constData(), 8033), 1000), Listener::unknown);
}

TEST(TokenFileTest, ReadsTheCurrentFileAndOnlyOurOwn)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("daemon.token");
    TokenFile file(path, ::geteuid());
    EXPECT_EQ(file.read(), std::nullopt);
    writeFile(path, " abc\n");
    EXPECT_EQ(file.read(), QByteArray("abc"));
    writeFile(path, " xyz\n");
    EXPECT_EQ(file.reread(), QByteArray("xyz"));
    // Replaced by a new file, as the daemon does at each start.
    QFile::remove(path);
    writeFile(path, "def\n");
    EXPECT_EQ(file.read(), QByteArray("def"));
    EXPECT_EQ(TokenFile(path, ::geteuid() + 1).read(), std::nullopt);
}

TEST(ReplyReaderTest, ReadsEveryBodyFramingAndRejectsBrokenReplies)
{
    struct Case {
        QByteArray bytes;
        bool closed; // the daemon closes after the bytes
        ReplyReader::State state;
        int code;
        QByteArray body;
    };
    using S = ReplyReader::State;
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, S::done, 200, "hello"},
        {"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nhel", false, S::reading, 200, "hel"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel", true, S::failed, 200, "hel"},
        {"HTTP/1.1 500 Oops\r\nConnection: close\r\n\r\nbad day", true, S::done, 500, "bad day"},
        {"HTTP/1.1 204 No Content\r\n\r\n", false, S::done, 204, ""},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\n2\r\nde\r\n0\r\nTrailer: 1\r\n\r\n",
         false, S::done, 200, "abcde"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n", false, S::failed, 200, "abc"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, S::failed, 200, ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello", false, S::failed, 200, ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", false, S::failed, 200, ""},
        {"SSH-2.0-OpenSSH\r\n\r\n", false, S::failed, 0, ""},
        {"HTTP/1.1 200 OK\r\n", true, S::failed, 0, ""},
    };
    for (const auto& c : cases) {
        // Byte by byte, so every split of the reply is read.
        ReplyReader reader(16);
        for (const char byte : c.bytes)
            reader.feed(QByteArrayView(&byte, 1));
        if (c.closed)
            reader.close();
        EXPECT_EQ(reader.state(), c.state) << c.bytes.toStdString();
        EXPECT_EQ(reader.code(), c.code) << c.bytes.toStdString();
        EXPECT_EQ(reader.body(), c.body) << c.bytes.toStdString();
    }
    // The cap, by announcement, by chunk size and by what arrived.
    for (const QByteArray& big : {QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 17\r\n\r\n"),
                                  QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8\r\n12345678\r\n9\r\n"),
                                  QByteArray("HTTP/1.1 200 OK\r\n\r\n12345678901234567")}) {
        ReplyReader reader(16);
        EXPECT_EQ(reader.feed(big), S::failed) << big.toStdString();
    }
}
