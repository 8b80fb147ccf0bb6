// JsonDefaultsStore: the per-user settings store as one typed JSON file.
//
// File layout (format 1):
//   {"format": 1,
//    "entries": [{"key": <text>, "type": "string" | "bool" | "int" | "double" | "stringArray" | "byteMap",
//                 "value": ...}, ...]}
// A <text> is a JSON string when the text is valid UTF-8 and {"base64": "..."} otherwise, so that
// any std::string (a path in a foreign encoding, say) survives unchanged. "int" values are JSON
// integers, "double" values JSON numbers (or "nan", "inf", "-inf", which JSON cannot spell),
// "stringArray" an array of <text>, "byteMap" an array of {"key": <text>, "bytes": <Base64>}.
// Entries of a type this version does not know are kept as they are when the file is rewritten.
//
// Consistency: every change is a read-modify-write of the whole file under an exclusive flock on
// the file's folder (so other processes and other store objects on the same file lose nothing),
// written atomically with mode 0600. Reads take no lock: the file is only ever replaced whole, so
// a reader sees one complete version. A file that is present but cannot be read or parsed reads as
// empty; the next change moves it aside as "defaults.json.damaged-<UTC time>" before writing.

#include "core/platform/DefaultsStore.hpp"

#include "core/BackupError.hpp"
#include "core/FileAccess.hpp"
#include "core/Json.hpp"
#include "core/Paths.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stowage {

namespace {

using Json = nlohmann::json;

constexpr int kFormat = 1;

// ---- Base64 (RFC 4648, with padding; decoding is strict) ---------------------------------------

const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const std::uint8_t* data, size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        std::uint32_t n = static_cast<std::uint32_t>(data[i]) << 16;
        if (i + 1 < size)
            n |= static_cast<std::uint32_t>(data[i + 1]) << 8;
        if (i + 2 < size)
            n |= data[i + 2];
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < size ? kAlphabet[n & 63] : '=';
    }
    return out;
}

std::optional<Bytes> base64Decode(const std::string& text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int pad = (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=');
        if (pad > 0 && !last)
            return std::nullopt;
        std::uint32_t n = 0;
        for (int k = 0; k < 4 - pad; ++k) {
            int v = value(text[i + static_cast<size_t>(k)]);
            if (v < 0)
                return std::nullopt;
            n |= static_cast<std::uint32_t>(v) << (18 - 6 * k);
        }
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        if (pad < 2)
            out.push_back(static_cast<std::uint8_t>(n >> 8));
        if (pad < 1)
            out.push_back(static_cast<std::uint8_t>(n));
    }
    return out;
}

// ---- text that may not be UTF-8 -----------------------------------------------------------------

bool isValidUtf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

Json encodeText(const std::string& text) {
    if (isValidUtf8(text))
        return text;
    return Json{{"base64", base64Encode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())}};
}

std::optional<std::string> decodeText(const Json& j) {
    if (j.is_string())
        return j.get<std::string>();
    if (j.is_object() && j.size() == 1 && j.contains("base64") && j["base64"].is_string()) {
        if (auto bytes = base64Decode(j["base64"].get<std::string>()))
            return toString(*bytes);
    }
    return std::nullopt;
}

// ---- the file ---------------------------------------------------------------------------------------

/// Identifies one version of the file: every atomic replacement brings a new inode.
using Stamp = std::array<std::int64_t, 5>;

Stamp stampOf(const struct stat& st) {
    return Stamp{static_cast<std::int64_t>(st.st_dev), static_cast<std::int64_t>(st.st_ino),
                 static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
                 static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

struct Loaded {
    /// Stored entries keyed by their decoded key; each holds "type" and "value".
    std::map<std::string, Json> entries;
    std::optional<Stamp> stamp; // absent: no file
    bool damaged = false;       // present but unreadable or not a store file
};

std::optional<std::map<std::string, Json>> parseStore(const std::string& text) {
    Json doc = Json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        return std::nullopt;
    auto it = doc.find("entries");
    if (it == doc.end() || !it->is_array())
        return std::nullopt;
    std::map<std::string, Json> entries;
    for (const auto& entry : *it) {
        if (!entry.is_object() || !entry.contains("key") || !entry.contains("type") || !entry["type"].is_string())
            continue; // one bad entry does not cost the others
        auto key = decodeText(entry["key"]);
        if (!key)
            continue;
        Json stored = entry;
        stored.erase("key");
        entries[*key] = std::move(stored);
    }
    return entries;
}

/// A settings file larger than this (256 MiB) is damage, not settings: it is not read into memory.
constexpr std::size_t maxStoreBytes = std::size_t{256} << 20;

Loaded loadFile(const std::string& path) {
    Loaded result;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            result.damaged = true;
        return result;
    }
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= maxStoreBytes;
    if (ok) {
        result.stamp = stampOf(st);
        char buffer[1 << 14];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                ok = false;
            if (n <= 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
            if (text.size() > maxStoreBytes) {
                ok = false; // grew past the cap while being read
                break;
            }
        }
    }
    ::close(fd);
    auto entries = ok ? parseStore(text) : std::nullopt;
    if (entries)
        result.entries = std::move(*entries);
    else
        result.damaged = true;
    return result;
}

std::optional<Stamp> currentStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return stampOf(st);
}

std::string serialise(const std::map<std::string, Json>& entries) {
    Json list = Json::array();
    for (const auto& [key, stored] : entries) {
        Json entry = stored;
        entry["key"] = encodeText(key);
        list.push_back(std::move(entry));
    }
    Json doc = {{"format", kFormat}, {"entries", std::move(list)}};
    return json::pretty(doc) + "\n";
}

/// Holds an exclusive flock on a folder for one read-modify-write.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FolderLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

std::string utcStampForName() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
    return buf;
}

/// Moves a damaged store file aside under a name no earlier damaged copy has.
void setDamagedFileAside(const std::string& path) {
    std::string base = path + ".damaged-" + utcStampForName();
    std::string target = base;
    for (int i = 2; ::access(target.c_str(), F_OK) == 0 || errno != ENOENT; ++i) {
        if (i > 1000)
            return;
        target = base + "-" + std::to_string(i);
    }
    ::rename(path.c_str(), target.c_str());
}

std::optional<std::string> standardFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return paths::join(xdg, "stowage");
    std::string home = paths::homeFolder();
    if (home.empty())
        return std::nullopt;
    return paths::join(paths::join(home, ".config"), "stowage");
}

} // namespace

// ---- JsonDefaultsStore ---------------------------------------------------------------------------

JsonDefaultsStore::JsonDefaultsStore(std::string path) : path_(std::move(path)) {}

std::string JsonDefaultsStore::standardPath() {
    auto folder = standardFolder();
    // Without any home folder the path names no writable place: reads answer empty, changes throw.
    return paths::join(folder.value_or("/.config/stowage"), "defaults.json");
}

void JsonDefaultsStore::refreshLocked() const {
    auto stamp = currentStamp(path_);
    if (loaded_ && stamp == stamp_)
        return;
    Loaded fresh = loadFile(path_);
    entries_ = std::move(fresh.entries);
    stamp_ = fresh.stamp;
    loaded_ = !fresh.damaged; // a damaged file is looked at again next time
}

std::optional<nlohmann::json> JsonDefaultsStore::stored(const std::string& key, const char* type) const {
    std::lock_guard<std::mutex> lock(mutex_);
    refreshLocked();
    auto it = entries_.find(key);
    if (it == entries_.end())
        return std::nullopt;
    const Json& entry = it->second;
    auto t = entry.find("type");
    auto v = entry.find("value");
    if (t == entry.end() || *t != type || v == entry.end())
        return std::nullopt;
    return *v;
}

void JsonDefaultsStore::change(const std::string& key, std::optional<nlohmann::json> entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string folder = paths::parent(path_);
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        std::filesystem::create_directories(paths::parent(folder), ec);
        ::mkdir(folder.c_str(), 0700); // the settings folder is the user's own
    }
    FolderLock folderLock(folder);

    // Start from what is on disk now: another process or store object may have changed it.
    Loaded current = loadFile(path_);
    if (current.damaged)
        setDamagedFileAside(path_);
    std::map<std::string, Json> next = std::move(current.entries);
    bool changed = true;
    if (entry)
        next[key] = std::move(*entry);
    else
        changed = next.erase(key) > 0 || current.damaged;
    if (!changed) {
        entries_ = std::move(next);
        stamp_ = current.stamp;
        loaded_ = true;
        return;
    }

    std::string text = serialise(next);
    DirectFileAccess().write(Bytes(text.begin(), text.end()), path_, 0600);
    entries_ = std::move(next);
    stamp_ = currentStamp(path_);
    loaded_ = true;
}

std::optional<std::string> JsonDefaultsStore::string(const std::string& key) const {
    auto v = stored(key, "string");
    return v ? decodeText(*v) : std::nullopt;
}

std::optional<bool> JsonDefaultsStore::boolean(const std::string& key) const {
    auto v = stored(key, "bool");
    if (!v || !v->is_boolean())
        return std::nullopt;
    return v->get<bool>();
}

std::optional<std::int64_t> JsonDefaultsStore::integer(const std::string& key) const {
    auto v = stored(key, "int");
    if (!v || !v->is_number_integer())
        return std::nullopt;
    if (v->is_number_unsigned() && v->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
    return v->get<std::int64_t>();
}

std::optional<double> JsonDefaultsStore::real(const std::string& key) const {
    auto v = stored(key, "double");
    if (!v)
        return std::nullopt;
    if (v->is_number())
        return v->get<double>();
    if (v->is_string()) {
        const auto& s = v->get_ref<const std::string&>();
        if (s == "nan")
            return std::nan("");
        if (s == "inf")
            return INFINITY;
        if (s == "-inf")
            return -INFINITY;
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> JsonDefaultsStore::stringArray(const std::string& key) const {
    auto v = stored(key, "stringArray");
    if (!v || !v->is_array())
        return std::nullopt;
    std::vector<std::string> result;
    for (const auto& item : *v) {
        auto text = decodeText(item);
        if (!text)
            return std::nullopt;
        result.push_back(std::move(*text));
    }
    return result;
}

std::optional<std::map<std::string, Bytes>> JsonDefaultsStore::byteMap(const std::string& key) const {
    auto v = stored(key, "byteMap");
    if (!v || !v->is_array())
        return std::nullopt;
    std::map<std::string, Bytes> result;
    for (const auto& item : *v) {
        if (!item.is_object() || !item.contains("key") || !item.contains("bytes") || !item["bytes"].is_string())
            return std::nullopt;
        auto name = decodeText(item["key"]);
        auto bytes = base64Decode(item["bytes"].get<std::string>());
        if (!name || !bytes)
            return std::nullopt;
        result[*name] = std::move(*bytes);
    }
    return result;
}

bool JsonDefaultsStore::contains(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    refreshLocked();
    return entries_.count(key) > 0;
}

void JsonDefaultsStore::setString(const std::string& key, const std::string& value) {
    change(key, Json{{"type", "string"}, {"value", encodeText(value)}});
}

void JsonDefaultsStore::setBoolean(const std::string& key, bool value) {
    change(key, Json{{"type", "bool"}, {"value", value}});
}

void JsonDefaultsStore::setInteger(const std::string& key, std::int64_t value) {
    change(key, Json{{"type", "int"}, {"value", value}});
}

void JsonDefaultsStore::setReal(const std::string& key, double value) {
    Json stored;
    if (std::isnan(value))
        stored = "nan";
    else if (std::isinf(value))
        stored = value > 0 ? "inf" : "-inf";
    else
        stored = value;
    change(key, Json{{"type", "double"}, {"value", stored}});
}

void JsonDefaultsStore::setStringArray(const std::string& key, const std::vector<std::string>& value) {
    Json list = Json::array();
    for (const auto& item : value)
        list.push_back(encodeText(item));
    change(key, Json{{"type", "stringArray"}, {"value", std::move(list)}});
}

void JsonDefaultsStore::setByteMap(const std::string& key, const std::map<std::string, Bytes>& value) {
    Json list = Json::array();
    for (const auto& [name, bytes] : value)
        list.push_back(Json{{"key", encodeText(name)}, {"bytes", base64Encode(bytes.data(), bytes.size())}});
    change(key, Json{{"type", "byteMap"}, {"value", std::move(list)}});
}

void JsonDefaultsStore::removeValue(const std::string& key) {
    change(key, std::nullopt);
}

// ---- the current user's store ----------------------------------------------------------------------

std::shared_ptr<DefaultsStore> DefaultsStore::standard() {
    // One object per file and process, so that repeated look-ups share one cache. Objects on the same
    // file would stay consistent anyway (every change re-reads the file under the folder lock).
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<JsonDefaultsStore>> stores;
    std::string path = JsonDefaultsStore::standardPath();
    std::lock_guard<std::mutex> lock(mutex);
    if (auto existing = stores[path].lock())
        return existing;
    auto store = std::make_shared<JsonDefaultsStore>(path);
    stores[path] = store;
    return store;
}

} // namespace stowage
