#pragma once

// The phone web app, compiled into the helper from helper/phone/app/.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ringlark::helper::phone {

struct AppFile {
    std::string_view path;        // as requested, e.g. "/app.js"
    std::string_view contentType; // e.g. "text/javascript; charset=utf-8"
    std::string_view body;
};

// Every file of the app, sorted by path.
std::span<const AppFile> appFiles();

// The bytes of all files together.
std::size_t appFilesTotalSize();

// The file served at `path` ("/" + its name), or nullptr.
const AppFile* findAppFile(std::string_view path);

// The page every app route ("/", "/pair", "/r/<id>") answers with.
const AppFile* appShell();

// True for exactly 32 lowercase hexadecimal digits.
bool isPairingCode(std::string_view code);

// The web app manifest. A valid pairing code becomes the start address
// "/pair?c=<code>", so an app added to an iPhone's Home Screen (whose storage
// is its own) pairs when first opened; anything else is ignored.
std::string manifestFor(std::optional<std::string_view> code);

} // namespace ringlark::helper::phone
