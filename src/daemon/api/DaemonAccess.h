#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace ringlark {

// The daemon's token file, read with the care a secret needs: never through a
// symbolic link, only when it belongs to `uid`, and only again when the file
// changed (the daemon replaces it at each start). GUI thread only.
class TokenFile {
public:
    TokenFile(QString path, std::uint32_t uid);

    // The token, from the cache while the file's identity and size are unchanged.
    std::optional<QByteArray> read();
    // Reads the file again whatever the cache holds.
    std::optional<QByteArray> reread();

private:
    struct Stamp {
        std::uint64_t device = 0, inode = 0;
        std::int64_t size = -1, mtimeNs = 0;
        bool operator==(const Stamp&) const = default;
    };

    QString m_path;
    std::uint32_t m_uid;
    std::optional<Stamp> m_stamp;
    std::optional<QByteArray> m_token;
};

// Whitespace trimmed; nothing when empty or holding bytes a header cannot carry.
std::optional<QByteArray> parseToken(QByteArrayView content);

// One row of a /proc/net/tcp or tcp6 table.
struct SocketRow {
    std::string_view local; // "0100007F:1F61"
    std::string_view state; // "0A" is listening
    std::uint32_t uid = 0;
};

// Parses one data row; nothing for the header or a malformed row.
std::optional<SocketRow> parseSocketRow(std::string_view line);

// Who may be answering a connection to 127.0.0.1:<port>, as the kernel's
// socket tables tell it: the uids of the listeners that would take it.
struct ListenerOwners {
    bool complete = true; // false: a table could not be read
    std::uint32_t uids[8] = {};
    int count = 0;
};

// Reads `<procNet>/tcp` for listeners that take connections to
// 127.0.0.1:<port>; with `dualStack`, also `tcp6` for an IPv6 wildcard that
// takes them when no IPv4 listener is there. That table costs far more to
// read (the kernel walks all of it), so the poll leaves it out: a client only
// talks to an IPv4 listener of its own anyway.
ListenerOwners findListeners(const char* procNet, std::uint16_t port, bool dualStack = true);

// Who listens on the port, for a reader of user `uid`. `unknown`: the tables
// could not be read.
enum class Listener { nobody, ours, stranger, unknown };
Listener classify(const ListenerOwners& owners, std::uint32_t uid);

// Asks the kernel which socket would take a connection to 127.0.0.1:<port>
// and whether it belongs to `uid`. `unknown` where it may not be asked.
Listener askKernelForListener(std::uint16_t port, std::uint32_t uid);

// How the client proves itself to the daemon and makes sure it is talking to
// the daemon and not to someone else's listener. Copies share one token cache.
struct DaemonAccess {
    // The token; `reread` forces a fresh read. Nothing: the daemon counts as unreachable.
    std::function<std::optional<QByteArray>(bool reread)> token;
    // Who listens on 127.0.0.1:<port>; requests go only to `ours`. Unset: not
    // checked. `dualStack` also looks for IPv6 wildcards (to name a stranger).
    std::function<Listener(std::uint16_t port, bool dualStack)> listener;

    // The token in `<configDirectory>/daemon.token`, the listener checked in
    // this system's socket tables (where it has them) against our uid.
    static DaemonAccess inDirectory(const QString& configDirectory);
    // The same with the socket tables read from `procNet` and compared with `uid`.
    static DaemonAccess inDirectory(const QString& configDirectory, QByteArray procNet, std::uint32_t uid);
};

} // namespace ringlark
