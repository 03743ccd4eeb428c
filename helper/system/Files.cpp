#include "helper/system/Files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ringlark::helper {

std::optional<std::string> preparePrivateDirectory(const std::filesystem::path& directory)
{
    const std::string path = directory.string();
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT)
            return path + ": " + std::strerror(errno);
        std::error_code ignored;
        std::filesystem::create_directories(directory.parent_path(), ignored);
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return "cannot create " + path + ": " + std::strerror(errno);
        if (::lstat(path.c_str(), &info) != 0)
            return path + ": " + std::strerror(errno);
    }
    if (S_ISLNK(info.st_mode))
        return path + " is a symbolic link; refusing to use it";
    if (!S_ISDIR(info.st_mode))
        return path + " is not a directory";
    if (info.st_uid != ::geteuid())
        return path + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    if ((info.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
        return "cannot make " + path + " private: " + std::strerror(errno);
    return std::nullopt;
}

bool writeAtomically(const std::filesystem::path& directory, const std::string& name, std::string_view content)
{
    const std::string target = (directory / name).string();
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = (directory / ("." + name + "." + std::to_string(::getpid()) + "." + std::to_string(attempt))).string();
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool written = ::fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; written && done < content.size();) {
        const auto count = ::write(fd, content.data() + done, content.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        written = count > 0;
        done += written ? static_cast<std::size_t>(count) : 0;
    }
    written = ::close(fd) == 0 && written;
    // rename() replaces a link at the target rather than writing through it.
    if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> readPlainFile(const std::filesystem::path& file, std::size_t limit)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    std::optional<std::string> content;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) <= limit) {
        std::string text(static_cast<std::size_t>(info.st_size), '\0');
        const auto count = ::read(fd, text.data(), text.size());
        if (count >= 0) {
            text.resize(static_cast<std::size_t>(count));
            content = std::move(text);
        }
    }
    ::close(fd);
    return content;
}

void removePidFileIfOurs(const std::filesystem::path& file, pid_t pid)
{
    const auto content = readPlainFile(file, 64);
    if (!content)
        return;
    const auto first = content->find_first_not_of(" \t\r\n");
    const auto last = content->find_last_not_of(" \t\r\n");
    if (first != std::string::npos && content->substr(first, last - first + 1) == std::to_string(pid))
        ::unlink(file.c_str());
}

std::string newToken()
{
    unsigned char bytes[32];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const auto count = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return {};
        filled += static_cast<std::size_t>(count);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 0xfu];
    }
    return token;
}

void raiseDescriptorLimit(std::size_t wanted)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max && limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, wanted);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace ringlark::helper
