#include "core/BackupManifest.hpp"

#include "core/BackupError.hpp"
#include "core/Json.hpp"

#include <openssl/evp.h>

#include <cmath>
#include <limits>

namespace stowage {

namespace {

using Json = nlohmann::json;

// Strict field readers. A record nested in a list is named by its position ("configs[2]"), so a
// damaged file's error points at the exact key.

std::string keyName(const std::string& context, const char* key) {
    return context.empty() ? std::string(key) : context + "." + key;
}

[[noreturn]] void missing(const std::string& name) {
    throw DecodingError("the key \"" + name + "\" is missing");
}

[[noreturn]] void mistyped(const std::string& name, const char* expected) {
    if (name.empty())
        throw DecodingError(std::string("the top level is not ") + expected);
    throw DecodingError("\"" + name + "\" is not " + expected);
}

void requireObject(const Json& j, const std::string& context) {
    if (!j.is_object())
        throw DecodingError(context.empty() ? "the top level is not an object"
                                            : "\"" + context + "\" is not an object");
}

const Json& member(const Json& j, const char* key, const std::string& context) {
    auto it = j.find(key);
    if (it == j.end())
        missing(keyName(context, key));
    return *it;
}

/// The value of an optional key, or nullptr when it is absent or null.
const Json* optionalMember(const Json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null())
        return nullptr;
    return &*it;
}

std::string asString(const Json& v, const std::string& name) {
    if (!v.is_string())
        mistyped(name, "a string");
    return v.get<std::string>();
}

bool asBool(const Json& v, const std::string& name) {
    if (!v.is_boolean())
        mistyped(name, "true or false");
    return v.get<bool>();
}

std::int64_t asInt(const Json& v, const std::string& name) {
    if (v.is_number_integer() && !v.is_number_unsigned())
        return v.get<std::int64_t>();
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(u);
    } else if (v.is_number_float()) {
        // Writers of other languages may store whole numbers as 3.0; anything fractional is damage.
        double d = v.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2e18 && d <= 9.2e18)
            return static_cast<std::int64_t>(d);
    }
    mistyped(name, "a whole number");
}

Timestamp asDate(const Json& v, const std::string& name) {
    auto t = json::parseIso8601(asString(v, name));
    if (!t)
        mistyped(name, "an ISO-8601 date");
    return *t;
}

std::vector<std::string> asStringList(const Json& v, const std::string& name) {
    if (!v.is_array())
        mistyped(name, "a list");
    std::vector<std::string> out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        out.push_back(asString(v[i], name + "[" + std::to_string(i) + "]"));
    return out;
}

std::string stringField(const Json& j, const char* key, const std::string& context) {
    return asString(member(j, key, context), keyName(context, key));
}

ConfigEntry readConfigEntry(const Json& j, const std::string& context) {
    requireObject(j, context);
    return ConfigEntry{stringField(j, "originalPath", context), stringField(j, "storedRelPath", context)};
}

ProjectEntry readProjectEntry(const Json& j, const std::string& context) {
    requireObject(j, context);
    return ProjectEntry{stringField(j, "originalPath", context), stringField(j, "storedRelPath", context),
                        stringField(j, "name", context)};
}

StoredFile readStoredFile(const Json& j, const std::string& context) {
    requireObject(j, context);
    StoredFile f;
    f.path = stringField(j, "path", context);
    f.size = asInt(member(j, "size", context), keyName(context, "size"));
    f.sha256 = stringField(j, "sha256", context);
    return f;
}

template <typename T, typename Read> std::vector<T> readList(const Json& v, const std::string& name, Read read) {
    if (!v.is_array())
        mistyped(name, "a list");
    std::vector<T> out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        out.push_back(read(v[i], name + "[" + std::to_string(i) + "]"));
    return out;
}

BackupManifest readManifest(const Json& j) {
    requireObject(j, "");
    BackupManifest m;
    m.version = static_cast<int>(asInt(member(j, "version", ""), "version"));
    m.createdAt = asDate(member(j, "createdAt", ""), "createdAt");
    m.configs = readList<ConfigEntry>(member(j, "configs", ""), "configs", readConfigEntry);
    m.manifests = asStringList(member(j, "manifests", ""), "manifests");
    m.hasSecrets = asBool(member(j, "hasSecrets", ""), "hasSecrets");
    m.secretPaths = asStringList(member(j, "secretPaths", ""), "secretPaths");
    if (const Json* p = optionalMember(j, "projects"))
        m.projects = readList<ProjectEntry>(*p, "projects", readProjectEntry);
    if (const Json* h = optionalMember(j, "homeFolder"))
        m.homeFolder = asString(*h, "homeFolder");
    if (const Json* size = optionalMember(j, "secretsSize"))
        m.secretsSize = asInt(*size, "secretsSize");
    if (const Json* digest = optionalMember(j, "secretsSha256"))
        m.secretsSha256 = asString(*digest, "secretsSha256");
    if (const Json* files = optionalMember(j, "storedFiles"))
        m.storedFiles = readList<StoredFile>(*files, "storedFiles", readStoredFile);
    return m;
}

BackupRun readRun(const Json& j, const std::string& context) {
    requireObject(j, context);
    BackupRun r;
    r.createdAt = asDate(member(j, "createdAt", context), keyName(context, "createdAt"));
    r.configCount = asInt(member(j, "configCount", context), keyName(context, "configCount"));
    r.secretCount = asInt(member(j, "secretCount", context), keyName(context, "secretCount"));
    r.manifestCount = asInt(member(j, "manifestCount", context), keyName(context, "manifestCount"));
    r.totalBytes = asInt(member(j, "totalBytes", context), keyName(context, "totalBytes"));
    r.usedPassphrase = asBool(member(j, "usedPassphrase", context), keyName(context, "usedPassphrase"));
    return r;
}

Json parseOrFail(const std::string& text, const std::string& file) {
    Json j = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded())
        throw DecodingError(file + " cannot be read: it is not valid JSON.");
    return j;
}

/// Runs a reader, turning its detail into one sentence that names the file.
template <typename Read> auto decodeFile(const std::string& text, const std::string& file, Read read) {
    Json j = parseOrFail(text, file);
    try {
        return read(j);
    } catch (const DecodingError& e) {
        throw DecodingError(file + " cannot be read: " + e.what() + ".");
    }
}

/// Dumps stored JSON; a string that is not valid UTF-8 cannot be written faithfully, so the
/// encoder refuses it with a sentence that names the file instead of a library diagnostic.
std::string encodeStored(const Json& j, const std::string& file) {
    try {
        return json::pretty(j);
    } catch (const nlohmann::json::type_error&) {
        throw BackupError::io("cannot write " + file + ": a recorded name is not valid UTF-8");
    }
}

} // namespace

// ---- JSON conversions --------------------------------------------------------------------------

void to_json(Json& j, const ConfigEntry& e) {
    j = Json{{"originalPath", e.originalPath}, {"storedRelPath", e.storedRelPath}};
}

void from_json(const Json& j, ConfigEntry& e) {
    e = readConfigEntry(j, "");
}

void to_json(Json& j, const ProjectEntry& e) {
    j = Json{{"originalPath", e.originalPath}, {"storedRelPath", e.storedRelPath}, {"name", e.name}};
}

void from_json(const Json& j, ProjectEntry& e) {
    e = readProjectEntry(j, "");
}

void to_json(Json& j, const StoredFile& f) {
    j = Json{{"path", f.path}, {"size", f.size}, {"sha256", f.sha256}};
}

void to_json(Json& j, const BackupManifest& m) {
    j = Json{{"version", m.version},       {"createdAt", json::iso8601(m.createdAt)},
             {"configs", m.configs},       {"manifests", m.manifests},
             {"hasSecrets", m.hasSecrets}, {"secretPaths", m.secretPaths}};
    if (m.projects)
        j["projects"] = *m.projects;
    if (m.homeFolder)
        j["homeFolder"] = *m.homeFolder;
    if (m.secretsSize)
        j["secretsSize"] = *m.secretsSize;
    if (m.secretsSha256)
        j["secretsSha256"] = *m.secretsSha256;
    if (m.storedFiles)
        j["storedFiles"] = *m.storedFiles;
}

void from_json(const Json& j, BackupManifest& m) {
    m = readManifest(j);
}

void to_json(Json& j, const BackupRun& r) {
    j = Json{{"createdAt", json::iso8601(r.createdAt)},
             {"configCount", r.configCount},
             {"secretCount", r.secretCount},
             {"manifestCount", r.manifestCount},
             {"totalBytes", r.totalBytes},
             {"usedPassphrase", r.usedPassphrase}};
}

void from_json(const Json& j, BackupRun& r) {
    r = readRun(j, "");
}

void to_json(Json& j, const BackupResult& r) {
    j = Json{{"outputDir", r.outputDir},
             {"keyStoredInKeychain", r.keyStoredInKeychain},
             {"configFiles", r.configFiles},
             {"projectsBackedUp", r.projectsBackedUp},
             {"manifests", r.manifests},
             {"capturedSecrets", r.capturedSecrets},
             {"skippedSecrets", r.skippedSecrets},
             {"unchangedFiles", r.unchangedFiles},
             {"installedApps", r.installedApps},
             {"manualApps", r.manualApps},
             {"usedPassphrase", r.usedPassphrase},
             {"totalBytes", r.totalBytes},
             {"warnings", r.warnings},
             {"incompleteItems", r.incompleteItems},
             {"complete", r.complete()}};
    if (r.secretsBundlePath)
        j["secretsBundlePath"] = *r.secretsBundlePath;
    if (r.recoveryCode) {
        j["recoveryCode"] = *r.recoveryCode;
        j["newKey"] = r.newKey;
    }
}

void to_json(Json& j, const VerifyReport& r) {
    j = Json{{"checkedConfigs", r.checkedConfigs},
             {"checkedSecrets", r.checkedSecrets},
             {"checkedFiles", r.checkedFiles},
             {"issues", r.issues},
             {"ok", r.ok()}};
}

bool isSafeStoredPath(const std::string& relPath) {
    if (relPath.empty() || relPath.front() == '/' || relPath.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = relPath.find('/', start);
        if (end == std::string::npos)
            end = relPath.size();
        if (end == start || relPath.compare(start, end - start, "..") == 0)
            return false;
        if (end == relPath.size())
            return true;
        start = end + 1;
    }
}

std::string sha256Hex(const Bytes& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw BackupError::io("could not compute a SHA-256 digest");
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(digits[digest[i] >> 4]);
        hex.push_back(digits[digest[i] & 0xf]);
    }
    return hex;
}

// ---- Stored files ------------------------------------------------------------------------------

std::string BackupManifest::encode() const {
    return encodeStored(Json(*this), "backup.json");
}

BackupManifest BackupManifest::decode(const std::string& text) {
    return decodeFile(text, "backup.json", readManifest);
}

std::string encodeHistory(const std::vector<BackupRun>& runs) {
    return encodeStored(Json(runs), "history.json");
}

std::vector<BackupRun> decodeHistory(const std::string& text) {
    return decodeFile(text, "history.json", [](const Json& j) { return readList<BackupRun>(j, "", readRun); });
}

} // namespace stowage
