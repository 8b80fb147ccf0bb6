// The per-user settings file: JsonDefaultsStore reading a damaged or hostile defaults.json (the
// input is written to a real file), then changing one value.
//
// Checks beyond "no crash, no sanitizer report":
// - no getter throws, whatever the file holds;
// - a change never costs another entry: every key that read some value before the change reads the
//   same value afterwards through a fresh store object (a damaged file reads as empty before and
//   after, and is moved aside rather than lost);
// - the changed value reads back.

#include "core/KDF.hpp"
#include "core/platform/DefaultsStore.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>

using namespace stowage;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

const std::string& folder() {
    static const std::string path = [] {
        char pattern[] = "/tmp/stowage-fuzz-defaults-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr)
            broken("cannot create the settings folder");
        return std::string(made);
    }();
    return path;
}

/// Removes everything in the folder (the store file, files set aside as damaged, temporaries).
void emptyFolder() {
    DIR* dir = ::opendir(folder().c_str());
    if (dir == nullptr)
        broken("cannot list the settings folder");
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ::unlink((folder() + "/" + entry->d_name).c_str());
    }
    ::closedir(dir);
}

/// The keys worth asking about: the application's own, and whatever the file names.
std::set<std::string> keysOf(const std::string& text) {
    std::set<std::string> keys = {"",
                                  "a",
                                  "scanRoots",
                                  "excludeGlobs",
                                  "incremental",
                                  "reminderDays",
                                  "hasOnboarded",
                                  "backupDir",
                                  "lastBackupAt",
                                  "reinstalledApps",
                                  "io.stowage.scopedBookmarks"};
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object() || !doc.contains("entries") || !doc["entries"].is_array())
        return keys;
    for (const auto& entry : doc["entries"]) {
        if (!entry.is_object() || !entry.contains("key"))
            continue;
        const auto& key = entry["key"];
        if (key.is_string())
            keys.insert(key.get<std::string>());
        else if (key.is_object() && key.contains("base64") && key["base64"].is_string())
            if (auto bytes = base64::decode(key["base64"].get<std::string>()))
                keys.insert(std::string(bytes->begin(), bytes->end()));
    }
    return keys;
}

/// Everything every getter answers for one key, as comparable text.
std::string describe(const JsonDefaultsStore& store, const std::string& key) {
    std::string out = store.contains(key) ? "present;" : "absent;";
    if (auto v = store.string(key))
        out += "string:" + *v + ";";
    if (auto v = store.boolean(key))
        out += *v ? "bool:true;" : "bool:false;";
    if (auto v = store.integer(key))
        out += "int:" + std::to_string(*v) + ";";
    if (auto v = store.real(key)) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%a", std::isnan(*v) ? NAN : *v);
        out += std::string("double:") + buffer + ";";
    }
    if (auto v = store.stringArray(key)) {
        out += "array:";
        for (const auto& item : *v)
            out += std::to_string(item.size()) + ":" + item;
        out += ";";
    }
    if (auto v = store.byteMap(key)) {
        out += "bytes:";
        for (const auto& [name, bytes] : *v)
            out += std::to_string(name.size()) + ":" + name + "=" + base64::encode(bytes) + ",";
        out += ";";
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    emptyFolder();
    const std::string path = folder() + "/defaults.json";
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            broken("cannot write the settings file");
        ::close(fd);
    }

    const std::string changedKey = "fuzz.changed";
    std::set<std::string> keys = keysOf(text);
    keys.erase(changedKey);
    std::vector<std::string> before;
    {
        const JsonDefaultsStore store(path);
        for (const std::string& key : keys)
            before.push_back(describe(store, key));
    }

    JsonDefaultsStore writer(path);
    writer.setString(changedKey, "value");

    const JsonDefaultsStore reader(path);
    std::size_t k = 0;
    for (const std::string& key : keys) {
        if (describe(reader, key) != before[k++])
            broken("changing one setting changed another");
    }
    if (reader.string(changedKey) != std::optional<std::string>("value"))
        broken("a changed setting does not read back");
    return 0;
}
