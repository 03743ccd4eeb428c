#include "helper/phone/AppFiles.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <numeric>

namespace ringlark::helper::phone {

std::size_t appFilesTotalSize()
{
    const auto files = appFiles();
    return std::accumulate(files.begin(), files.end(), std::size_t{0},
                           [](std::size_t sum, const AppFile& file) { return sum + file.body.size(); });
}

const AppFile* findAppFile(std::string_view path)
{
    const auto files = appFiles();
    const auto found = std::lower_bound(files.begin(), files.end(), path,
                                        [](const AppFile& file, std::string_view wanted) { return file.path < wanted; });
    return found != files.end() && found->path == path ? &*found : nullptr;
}

const AppFile* appShell() { return findAppFile("/index.html"); }

bool isPairingCode(std::string_view code)
{
    return code.size() == 32 &&
           std::all_of(code.begin(), code.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string manifestFor(std::optional<std::string_view> code)
{
    const AppFile* file = findAppFile("/manifest.webmanifest");
    if (!file)
        return "{}";
    if (!code || !isPairingCode(*code))
        return std::string(file->body);
    auto manifest = nlohmann::ordered_json::parse(file->body, nullptr, false);
    if (!manifest.is_object())
        return std::string(file->body);
    manifest["start_url"] = "/pair?c=" + std::string(*code);
    return manifest.dump(2);
}

} // namespace ringlark::helper::phone
