#pragma once

#include <QFile>
#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include <sys/stat.h>

namespace ringlark {

// What a reader draws from a file, kept until the file changes (another
// size, modification or change time, or file), so that a large file the
// agents rewrite now and then is parsed only when it did. Thread-safe; the
// reader runs outside the lock.
template <typename Facts>
class FileFacts {
public:
    using Reader = std::function<Facts(std::string_view bytes)>;

    explicit FileFacts(Reader reader) : m_reader(std::move(reader)) {}

    // None when the file is missing or cannot be read.
    std::optional<Facts> get(const QString& path)
    {
        const auto before = stamp(path);
        if (!before)
            return std::nullopt;
        {
            const std::lock_guard lock(m_mutex);
            if (const auto found = m_entries.find(path); found != m_entries.end() && found->second.stamp == *before)
                return found->second.facts;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return std::nullopt;
        ++m_reads;
        Facts facts = m_reader(std::string_view(bytes.constData(), size_t(bytes.size())));
        // A file that changed while it was read is not remembered.
        if (stamp(path) == before) {
            const std::lock_guard lock(m_mutex);
            if (m_entries.size() >= maxEntries)
                m_entries.clear();
            m_entries.insert_or_assign(path, Entry{*before, facts});
        }
        return facts;
    }

    // How often the reader ran; lets tests see what the cache saved.
    int reads() const { return m_reads; }

private:
    struct Stamp {
        dev_t device;
        ino_t inode;
        off_t size;
        long long modified;
        long long changed;
        bool operator==(const Stamp&) const = default;
    };
    struct Entry {
        Stamp stamp;
        Facts facts;
    };
    // A process reads a handful of files; more means many homes (tests).
    static constexpr std::size_t maxEntries = 32;

    static std::optional<Stamp> stamp(const QString& path)
    {
        struct stat info {};
        if (::stat(QFile::encodeName(path).constData(), &info) != 0)
            return std::nullopt;
        const auto nanoseconds = [](const timespec& time) { return time.tv_sec * 1000000000LL + time.tv_nsec; };
        return Stamp{info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim), nanoseconds(info.st_ctim)};
    }

    Reader m_reader;
    std::mutex m_mutex;
    std::map<QString, Entry> m_entries;
    std::atomic<int> m_reads{0};
};

} // namespace ringlark
