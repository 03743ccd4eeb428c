#include "helper/phone/push/VapidKey.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "helper/phone/push/Base64Url.h"
#include "helper/phone/push/OpenSsl.h"

namespace ringlark::helper::push {

namespace {

constexpr std::size_t kMaxKeyFile = 16 * 1024;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

std::string describe(const std::filesystem::path& path, const std::string& what)
{
    return "VAPID key " + path.string() + ": " + what;
}

std::string errnoText(int error) { return std::strerror(error); }

Expected<VapidKey> readKey(const std::filesystem::path& path, const Fd& fd)
{
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return Failure{describe(path, errnoText(errno))};
    if (!S_ISREG(st.st_mode))
        return Failure{describe(path, "not a regular file")};
    if (st.st_uid != ::geteuid())
        return Failure{describe(path, "owned by another user; refusing to use it")};
    if ((st.st_mode & 077) != 0)
        return Failure{describe(path, "readable or writable by other users; make it private (chmod 600) or move it away")};
    if (st.st_size > static_cast<off_t>(kMaxKeyFile))
        return Failure{describe(path, "too large to be a key")};

    std::string pem(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < pem.size()) {
        const ssize_t n = ::read(fd.get(), pem.data() + done, pem.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ossl::wipe(pem);
            return Failure{describe(path, n < 0 ? errnoText(errno) : "changed while being read")};
        }
        done += static_cast<std::size_t>(n);
    }
    Expected<VapidKey> key = VapidKey::fromPem(pem);
    ossl::wipe(pem);
    if (!key)
        return Failure{describe(path, key.error() + "; the phones' subscriptions belong to this key, so it is not "
                                                    "replaced: move the file away to start over")};
    return key;
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Moves `from` to `to` unless `to` exists; false with EEXIST when another
// process stored its key first.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

} // namespace

VapidKey::VapidKey(std::shared_ptr<EVP_PKEY> key, std::string publicPoint)
    : key_(std::move(key)), public_(std::move(publicPoint))
{
}

Expected<VapidKey> VapidKey::fromPem(std::string_view pem)
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ossl::Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!key)
        return Failure{"not a PEM private key"};
    if (!ossl::isP256(key.get()))
        return Failure{"not a P-256 key"};
    std::optional<std::string> point = ossl::publicPoint(key.get());
    if (!point)
        return Failure{"the key has no public half"};
    return VapidKey(std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free), std::move(*point));
}

Expected<VapidKey> VapidKey::generate()
{
    ossl::Pkey key = ossl::generateP256();
    std::optional<std::string> point = key ? ossl::publicPoint(key.get()) : std::nullopt;
    if (!point)
        return Failure{"could not make a P-256 key"};
    return VapidKey(std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free), std::move(*point));
}

std::string VapidKey::publicKeyBase64Url() const { return base64UrlEncode(public_); }

Expected<std::string> VapidKey::sign(std::string_view message) const
{
    std::optional<std::string> signature = ossl::signEs256(key_.get(), message);
    if (!signature)
        return Failure{"signing failed"};
    return std::move(*signature);
}

Expected<std::string> VapidKey::toPem() const
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        ERR_clear_error();
        return Failure{"could not write the key as PEM"};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    std::string pem(data, static_cast<std::size_t>(length));
    OPENSSL_cleanse(data, static_cast<std::size_t>(length));
    return pem;
}

Expected<VapidKey> VapidKey::loadOrCreate(const std::filesystem::path& path)
{
    // O_NOFOLLOW makes a symbolic link fail with ELOOP instead of being followed.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
        if (fd.get() >= 0)
            return readKey(path, fd);
        if (errno == ELOOP)
            return Failure{describe(path, "is a symbolic link; refusing to follow it")};
        if (errno != ENOENT)
            return Failure{describe(path, errnoText(errno))};

        Expected<VapidKey> fresh = generate();
        if (!fresh)
            return fresh;
        Expected<std::string> pem = fresh->toPem();
        if (!pem)
            return Failure{describe(path, pem.error())};

        const std::filesystem::path temp = path.string() + ".new-" + std::to_string(::getpid());
        {
            Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (out.get() < 0)
                return Failure{describe(temp, errnoText(errno))};
            // The umask can only take bits away; say 0600 outright anyway.
            const bool written = ::fchmod(out.get(), 0600) == 0 && writeAll(out.get(), *pem) && ::fsync(out.get()) == 0;
            ossl::wipe(*pem);
            if (!written) {
                const int error = errno;
                ::unlink(temp.c_str());
                return Failure{describe(temp, errnoText(error))};
            }
        }
        if (renameNoReplace(temp, path)) {
            Fd dir(::open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (dir.get() >= 0)
                ::fsync(dir.get());
            return fresh;
        }
        const int error = errno;
        ::unlink(temp.c_str());
        if (error != EEXIST)
            return Failure{describe(path, errnoText(error))};
        // Another process stored a key between our open and rename: use theirs.
    }
    return Failure{describe(path, "keeps changing; giving up")};
}

} // namespace ringlark::helper::push
