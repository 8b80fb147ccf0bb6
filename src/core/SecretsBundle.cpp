#include "core/SecretsBundle.hpp"

#include "core/BackupError.hpp"
#include "core/GitInfo.hpp"
#include "core/Paths.hpp"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <sys/mman.h>

#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

namespace stowage {

namespace {

// ---- AES-256-GCM -------------------------------------------------------------------------------

[[noreturn]] void fatal(const char* what) {
    std::fprintf(stderr, "stowage: fatal: %s\n", what);
    std::abort();
}

const EVP_CIPHER* aes256gcm() {
    // Fetched once: an implicit fetch on every call costs a provider lookup.
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    if (cipher == nullptr)
        fatal("AES-256-GCM is unavailable in libcrypto");
    return cipher;
}

struct CipherContext {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    CipherContext() {
        if (ctx == nullptr)
            fatal("cipher context allocation failed");
    }
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); } // wipes the expanded key
    CipherContext(const CipherContext&) = delete;
    CipherContext& operator=(const CipherContext&) = delete;
};

/// The update calls take int lengths; larger inputs go through in pieces.
constexpr std::size_t maxChunk = std::size_t{1} << 30;

/// Encrypts `size` bytes from `in` to `out` (which may be the same buffer) and writes the tag.
void gcmEncrypt(const SymmetricKey& key, const std::uint8_t* nonce, const std::uint8_t* in, std::size_t size,
                std::uint8_t* out, std::uint8_t* tag) {
    CipherContext c;
    if (EVP_EncryptInit_ex2(c.ctx, aes256gcm(), key.data(), nonce, nullptr) != 1)
        fatal("AES-256-GCM initialisation failed");
    std::size_t done = 0;
    while (done < size) {
        const std::size_t piece = std::min(maxChunk, size - done);
        int written = 0;
        if (EVP_EncryptUpdate(c.ctx, out + done, &written, in + done, static_cast<int>(piece)) != 1 ||
            static_cast<std::size_t>(written) != piece)
            fatal("AES-256-GCM encryption failed");
        done += piece;
    }
    int finalLength = 0;
    if (EVP_EncryptFinal_ex(c.ctx, out + done, &finalLength) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(SecretsBundle::tagBytes), tag) != 1)
        fatal("AES-256-GCM encryption failed");
}

/// AES-256-GCM over a buffer that grows at its end: whatever was appended since the last call is
/// encrypted in place while it is still in cache. The nonce occupies the 12 bytes before `offset`
/// and the tag is appended by finish(). Offsets, not pointers, are kept, so the buffer may move.
class GrowingSealer {
public:
    GrowingSealer(const SymmetricKey& key, Bytes& buffer, std::size_t offset) : buffer_(buffer), done_(offset) {
        const auto nonce = SecretsBundle::drawNonce();
        std::memcpy(buffer_.data() + offset - nonce.size(), nonce.data(), nonce.size());
        if (EVP_EncryptInit_ex2(c_.ctx, aes256gcm(), key.data(), nonce.data(), nullptr) != 1)
            fatal("AES-256-GCM initialisation failed");
    }

    void catchUp() {
        while (done_ < buffer_.size()) {
            const std::size_t piece = std::min(maxChunk, buffer_.size() - done_);
            std::uint8_t* at = buffer_.data() + done_;
            int written = 0;
            if (EVP_EncryptUpdate(c_.ctx, at, &written, at, static_cast<int>(piece)) != 1 ||
                static_cast<std::size_t>(written) != piece)
                fatal("AES-256-GCM encryption failed");
            done_ += piece;
        }
    }

    void finish() {
        catchUp();
        std::array<std::uint8_t, SecretsBundle::tagBytes> tag{};
        int finalLength = 0;
        if (EVP_EncryptFinal_ex(c_.ctx, tag.data(), &finalLength) != 1 || finalLength != 0 ||
            EVP_CIPHER_CTX_ctrl(c_.ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tag.size()), tag.data()) != 1)
            fatal("AES-256-GCM encryption failed");
        buffer_.insert(buffer_.end(), tag.begin(), tag.end());
    }

private:
    CipherContext c_;
    Bytes& buffer_;
    std::size_t done_;
};

/// Decrypts into `out` and checks the tag; on any failure `out` is wiped and false returned.
bool gcmDecrypt(const SymmetricKey& key, const std::uint8_t* nonce, const std::uint8_t* in, std::size_t size,
                const std::uint8_t* tag, std::uint8_t* out) {
    CipherContext c;
    if (EVP_DecryptInit_ex2(c.ctx, aes256gcm(), key.data(), nonce, nullptr) != 1)
        return false;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < size) {
        const std::size_t piece = std::min(maxChunk, size - done);
        int written = 0;
        ok = EVP_DecryptUpdate(c.ctx, out + done, &written, in + done, static_cast<int>(piece)) == 1 &&
             static_cast<std::size_t>(written) == piece;
        done += piece;
    }
    std::array<std::uint8_t, SecretsBundle::tagBytes> expected;
    std::memcpy(expected.data(), tag, expected.size());
    int finalLength = 0;
    ok = ok &&
         EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(expected.size()), expected.data()) == 1 &&
         EVP_DecryptFinal_ex(c.ctx, out + size, &finalLength) == 1;
    if (!ok)
        secureWipe(out, size);
    return ok;
}

/// Seals the plaintext that sits in `buffer` from `offset` to the end, in place: the nonce goes into
/// the 12 bytes before `offset`, the tag is appended.
void sealInPlace(Bytes& buffer, std::size_t offset, const SymmetricKey& key) {
    const auto nonce = SecretsBundle::drawNonce();
    std::memcpy(buffer.data() + offset - nonce.size(), nonce.data(), nonce.size());
    const std::size_t size = buffer.size() - offset;
    std::array<std::uint8_t, SecretsBundle::tagBytes> tag{};
    gcmEncrypt(key, nonce.data(), buffer.data() + offset, size, buffer.data() + offset, tag.data());
    buffer.insert(buffer.end(), tag.begin(), tag.end());
}

/// Fixed part of the passphrase header before the salt: magic, the two marker bytes, the salt length.
constexpr std::size_t v2Prefix = 7;

Bytes passphraseHeader(const Bytes& salt, std::uint32_t iterations) {
    Bytes header(SecretsBundle::magic.begin(), SecretsBundle::magic.end());
    header.push_back(0x02);
    header.push_back(0x01);
    header.push_back(static_cast<std::uint8_t>(salt.size()));
    header.insert(header.end(), salt.begin(), salt.end());
    for (int shift = 24; shift >= 0; shift -= 8)
        header.push_back(static_cast<std::uint8_t>(iterations >> shift));
    return header;
}

// ---- Timestamps --------------------------------------------------------------------------------

/// 2001-01-01T00:00:00Z in Unix seconds: the reference date of `createdAt`.
constexpr double referenceDate = 978307200.0;

double secondsSinceReference(Timestamp t) {
    // Whole seconds and the fraction apart, so the large offset does not eat the fraction's precision.
    using namespace std::chrono;
    const auto since = t - system_clock::from_time_t(static_cast<std::time_t>(referenceDate));
    const auto whole = floor<seconds>(since);
    return static_cast<double>(whole.count()) + duration<double>(since - whole).count();
}

Timestamp timestampFromReference(double value) {
    using namespace std::chrono;
    // The clock counts nanoseconds in 64 bits, about 292 years either side of 1970. A time is taken
    // only when both its distance from 1970 and from the reference date fit (the encoder measures the
    // latter), so nothing overflows the clock's integer either way; anything else is refused.
    constexpr long long limit = duration_cast<seconds>(system_clock::duration::max()).count() - 1;
    constexpr auto reference = static_cast<long long>(referenceDate);
    if (!(value >= static_cast<double>(-limit) && value < static_cast<double>(limit - reference + 1)))
        throw BundleDecodingError("The secrets bundle's contents are not readable: \"createdAt\" is out of range.");
    const double whole = std::floor(value);
    const auto fraction = duration_cast<system_clock::duration>(duration<double>(value - whole));
    return system_clock::time_point(seconds(reference + static_cast<long long>(whole))) + fraction;
}

// ---- Payload encoding --------------------------------------------------------------------------

void append(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

/// A JSON string literal; nlohmann refuses text that is not UTF-8.
std::string jsonString(const std::string& text) {
    return nlohmann::json(text).dump();
}

/// Large buffers ask for transparent huge pages before their first touch: one fault per 2 MiB
/// instead of per 4 KiB, which is most of the cost of filling fresh memory.
void adviseHugePages(const std::uint8_t* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t huge = std::uintptr_t{2} << 20;
    if (size < 2 * huge)
        return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(huge - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

/// Maps in the pages of a fresh large buffer with one call instead of one fault per page, which is
/// most of the cost of filling fresh memory on a virtual machine. Best effort: older kernels refuse.
void prefault(std::uint8_t* data, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t page = 4096;
    if (size < 64 * page)
        return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)size;
#endif
}

/// Reserves room for `more` bytes, advising huge pages for the untouched part.
void reserveMore(Bytes& out, std::size_t more) {
    if (out.capacity() - out.size() >= more)
        return;
    out.reserve(out.size() + more);
    adviseHugePages(out.data() + out.size(), out.capacity() - out.size());
}

/// Memory for decrypted plaintext. Large buffers are private anonymous mappings of their own: they
/// come zeroed without a pass over them, use huge pages, stay out of core dumps, and the kernel
/// discards their pages when they are unmapped. Small ones live on the heap and are wiped on release.
class PlainBuffer {
public:
    explicit PlainBuffer(std::size_t size) : size_(size) {
        if (size >= mappedFrom) {
            void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED)
                throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
            ::madvise(p, size, MADV_HUGEPAGE);
#endif
#ifdef MADV_DONTDUMP
            ::madvise(p, size, MADV_DONTDUMP);
#endif
            data_ = static_cast<std::uint8_t*>(p);
            mapped_ = true;
        } else {
            data_ = new std::uint8_t[size > 0 ? size : 1];
        }
    }
    ~PlainBuffer() {
        if (mapped_) {
            ::munmap(data_, size_);
        } else {
            secureWipe(data_, size_);
            delete[] data_;
        }
    }
    PlainBuffer(const PlainBuffer&) = delete;
    PlainBuffer& operator=(const PlainBuffer&) = delete;

    std::uint8_t* data() {
        return data_;
    }
    std::size_t size() const {
        return size_;
    }
    std::string_view text() const {
        return {reinterpret_cast<const char*>(data_), size_};
    }
    Bytes copy() const {
        return Bytes(data_, data_ + size_);
    }

private:
    static constexpr std::size_t mappedFrom = std::size_t{1} << 20;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

/// Opens nonce ‖ ciphertext ‖ tag; throws BackupError::decryptFailed.
std::unique_ptr<PlainBuffer> openBox(const SymmetricKey& key, const std::uint8_t* box, std::size_t size) {
    if (size < SecretsBundle::nonceBytes + SecretsBundle::tagBytes)
        throw BackupError::decryptFailed();
    const std::size_t length = size - SecretsBundle::nonceBytes - SecretsBundle::tagBytes;
    auto plaintext = std::make_unique<PlainBuffer>(length);
    if (!gcmDecrypt(key, box, box + SecretsBundle::nonceBytes, length, box + SecretsBundle::nonceBytes + length,
                    plaintext->data()))
        throw BackupError::decryptFailed();
    return plaintext;
}

/// The document is written in three parts so that sealing can stream the files into it.
void appendDocumentStart(Bytes& out, std::int64_t version, Timestamp createdAt) {
    append(out, "{\"version\":");
    append(out, std::to_string(version));
    append(out, ",\"createdAt\":");
    append(out, nlohmann::json(secondsSinceReference(createdAt)).dump());
    append(out, ",\"files\":[");
}

/// Upper bound of the bytes appendFile adds, given the encoded path and project.
std::size_t fileJsonSize(std::size_t dataSize, std::size_t pathJson, std::size_t projectJson) {
    return 64 + pathJson + projectJson + base64::encodedLength(dataSize);
}

void appendFile(Bytes& out, bool first, const std::string& pathJson, std::uint16_t mode, const Bytes& data,
                const std::string& projectJson) {
    reserveMore(out, fileJsonSize(data.size(), pathJson.size(), projectJson.size()));
    if (!first)
        out.push_back(',');
    append(out, "{\"path\":");
    append(out, pathJson);
    append(out, ",\"mode\":");
    append(out, std::to_string(mode));
    append(out, ",\"data\":\"");
    const std::size_t at = out.size();
    out.resize(at + base64::encodedLength(data.size()));
    base64::encodeTo(data.data(), data.size(), reinterpret_cast<char*>(out.data() + at));
    out.push_back('"');
    if (!projectJson.empty()) {
        append(out, ",\"project\":");
        append(out, projectJson);
    }
    out.push_back('}');
}

void appendDocumentEnd(Bytes& out) {
    append(out, "]}");
}

std::string projectJson(const std::optional<ProjectContext>& project) {
    return project ? nlohmann::json(*project).dump() : std::string();
}

} // namespace

namespace SecretsBundle {

void encodePayloadTo(const BundlePayload& payload, Bytes& out) {
    // Everything but the file contents is small: encode it first, so the buffer is sized once.
    std::vector<std::pair<std::string, std::string>> texts;
    texts.reserve(payload.files.size());
    std::size_t total = 64;
    for (const BundleFile& file : payload.files) {
        texts.emplace_back(jsonString(file.path), projectJson(file.project));
        total += fileJsonSize(file.data.size(), texts.back().first.size(), texts.back().second.size());
    }
    reserveMore(out, total);
    appendDocumentStart(out, payload.version, payload.createdAt);
    for (std::size_t i = 0; i < payload.files.size(); ++i)
        appendFile(out, i == 0, texts[i].first, payload.files[i].mode, payload.files[i].data, texts[i].second);
    appendDocumentEnd(out);
}

std::string encodePayload(const BundlePayload& payload) {
    Bytes bytes;
    encodePayloadTo(payload, bytes);
    std::string text(bytes.begin(), bytes.end());
    wipeBytes(bytes);
    return text;
}

} // namespace SecretsBundle

// ---- Payload decoding --------------------------------------------------------------------------
//
// A strict RFC 8259 reader specialised for the payload: the file contents, which make up nearly all
// of a bundle, are Base64-decoded straight out of the document without an intermediate string.

namespace {

class PayloadReader {
public:
    explicit PayloadReader(std::string_view text) : s_(text) {}

    BundlePayload read() {
        BundlePayload payload;
        bool haveVersion = false, haveCreatedAt = false, haveFiles = false;
        skipSpace();
        readObject([&](const std::string& key) {
            if (key == "version") {
                payload.version = readInteger<std::int64_t>("version");
                haveVersion = true;
            } else if (key == "createdAt") {
                payload.createdAt = timestampFromReference(readNumber("createdAt"));
                haveCreatedAt = true;
            } else if (key == "files") {
                payload.files.clear();
                readArray([&] { payload.files.push_back(readFile()); });
                haveFiles = true;
            } else {
                skipValue(0);
            }
        });
        skipSpace();
        if (pos_ != s_.size())
            fail("there is text after the document");
        if (!haveVersion)
            missing("version");
        if (!haveCreatedAt)
            missing("createdAt");
        if (!haveFiles)
            missing("files");
        return payload;
    }

private:
    static constexpr int maxDepth = 256;

    [[noreturn]] void fail(const std::string& what) const {
        throw BundleDecodingError("The secrets bundle's contents are not readable: " + what + " (at byte " +
                                  std::to_string(pos_) + ").");
    }
    [[noreturn]] void missing(const std::string& key) const { fail("the key \"" + key + "\" is missing"); }

    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    bool atEnd() const { return pos_ >= s_.size(); }

    void skipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }

    void expect(char c) {
        skipSpace();
        if (atEnd() || s_[pos_] != c)
            fail(std::string("expected '") + c + "'");
        ++pos_;
    }

    /// Calls onMember(key) with the position at the member's value.
    template <typename F> void readObject(F&& onMember) {
        expect('{');
        skipSpace();
        if (peek() == '}') {
            ++pos_;
            return;
        }
        while (true) {
            skipSpace();
            if (peek() != '"')
                fail("expected a key");
            const std::string key = readString();
            expect(':');
            skipSpace();
            onMember(key);
            skipSpace();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                return;
            }
            fail("expected ',' or '}'");
        }
    }

    template <typename F> void readArray(F&& onElement) {
        expect('[');
        skipSpace();
        if (peek() == ']') {
            ++pos_;
            return;
        }
        while (true) {
            skipSpace();
            onElement();
            skipSpace();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                return;
            }
            fail("expected ',' or ']'");
        }
    }

    BundleFile readFile() {
        BundleFile file;
        bool havePath = false, haveMode = false, haveData = false;
        readObject([&](const std::string& key) {
            if (key == "path") {
                file.path = readStringValue("path");
                havePath = true;
            } else if (key == "mode") {
                file.mode = readInteger<std::uint16_t>("mode");
                haveMode = true;
            } else if (key == "data") {
                readBase64(file.data);
                haveData = true;
            } else if (key == "project") {
                if (peek() == 'n') {
                    expectLiteral("null");
                    file.project.reset();
                } else {
                    file.project = readProject();
                }
            } else {
                skipValue(0);
            }
        });
        if (!havePath)
            missing("path");
        if (!haveMode)
            missing("mode");
        if (!haveData)
            missing("data");
        return file;
    }

    ProjectContext readProject() {
        const std::size_t start = pos_;
        skipValue(0);
        try {
            return nlohmann::json::parse(s_.substr(start, pos_ - start)).get<ProjectContext>();
        } catch (const nlohmann::json::exception&) {
            pos_ = start;
            fail("\"project\" is not a project record");
        }
    }

    std::string readStringValue(const char* key) {
        if (peek() != '"')
            fail(std::string("\"") + key + "\" is not a string");
        return readString();
    }

    void readBase64(Bytes& out) {
        if (peek() != '"')
            fail("\"data\" is not a string");
        const std::size_t start = pos_ + 1;
        // Base64 never needs escapes, so the literal usually runs to the next quote as it stands.
        const void* quote = std::memchr(s_.data() + start, '"', s_.size() - start);
        if (quote == nullptr)
            fail("a string is not closed");
        const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(quote) - s_.data());
        std::string_view text = s_.substr(start, end - start);
        if (std::memchr(text.data(), '\\', text.size()) == nullptr) {
            out.clear();
            out.reserve(text.size() / 4 * 3);
            prefault(out.data(), out.capacity());
            if (!base64::decodeAppend(text, out))
                fail("\"data\" is not Base64");
            pos_ = end + 1;
            return;
        }
        // A writer that escapes "/" as "\/" is still valid JSON.
        std::string unescaped = readString();
        out.clear();
        const bool ok = base64::decodeAppend(unescaped, out);
        wipeString(unescaped);
        if (!ok)
            fail("\"data\" is not Base64");
    }

    void expectLiteral(std::string_view literal) {
        if (s_.substr(pos_, literal.size()) != literal)
            fail("unexpected text");
        pos_ += literal.size();
    }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    /// The extent of a JSON number at the position, checked against the grammar.
    std::string_view scanNumber() {
        const std::size_t start = pos_;
        if (peek() == '-')
            ++pos_;
        if (peek() == '0') {
            ++pos_;
        } else if (isDigit(peek())) {
            while (isDigit(peek()))
                ++pos_;
        } else {
            fail("expected a number");
        }
        if (peek() == '.') {
            ++pos_;
            if (!isDigit(peek()))
                fail("malformed number");
            while (isDigit(peek()))
                ++pos_;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-')
                ++pos_;
            if (!isDigit(peek()))
                fail("malformed number");
            while (isDigit(peek()))
                ++pos_;
        }
        return s_.substr(start, pos_ - start);
    }

    double readNumber(const char* key) {
        const std::size_t start = pos_;
        if (peek() != '-' && !isDigit(peek()))
            fail(std::string("\"") + key + "\" is not a number");
        const std::string_view text = scanNumber();
        double value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size()) {
            pos_ = start;
            fail(std::string("\"") + key + "\" is out of range");
        }
        return value;
    }

    /// A number with an integral value that fits T ("384" or "384.0", not "384.5").
    template <typename T> T readInteger(const char* key) {
        const std::size_t start = pos_;
        if (peek() != '-' && !isDigit(peek()))
            fail(std::string("\"") + key + "\" is not a number");
        const std::string_view text = scanNumber();
        long long whole = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), whole);
        if (ec != std::errc() || end != text.data() + text.size()) {
            double value = 0;
            auto [dend, dec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (dec != std::errc() || dend != text.data() + text.size() || value != std::floor(value) ||
                std::fabs(value) > 9.0e15) {
                pos_ = start;
                fail(std::string("\"") + key + "\" is not a whole number in range");
            }
            whole = static_cast<long long>(value);
        }
        if (whole < static_cast<long long>(std::numeric_limits<T>::min()) ||
            static_cast<unsigned long long>(whole) > static_cast<unsigned long long>(std::numeric_limits<T>::max()) ||
            (whole < 0 && std::numeric_limits<T>::min() == 0)) {
            pos_ = start;
            fail(std::string("\"") + key + "\" is out of range");
        }
        return static_cast<T>(whole);
    }

    static int hexValue(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    unsigned readHex4() {
        if (pos_ + 4 > s_.size())
            fail("malformed \\u escape");
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexValue(s_[pos_++]);
            if (digit < 0)
                fail("malformed \\u escape");
            value = value * 16 + static_cast<unsigned>(digit);
        }
        return value;
    }

    static void appendUtf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    /// Length of the well-formed UTF-8 sequence at `i`, or 0.
    std::size_t utf8Length(std::size_t i) const {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s_[k]); };
        const unsigned char c = byte(i);
        auto cont = [&](std::size_t k) { return k < s_.size() && (byte(k) & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF)
            return cont(i + 1) ? 2 : 0;
        if (c >= 0xE0 && c <= 0xEF) {
            if (!cont(i + 1) || !cont(i + 2))
                return 0;
            const unsigned char c1 = byte(i + 1);
            if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0)) // overlong, surrogate
                return 0;
            return 3;
        }
        if (c >= 0xF0 && c <= 0xF4) {
            if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3))
                return 0;
            const unsigned char c1 = byte(i + 1);
            if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90)) // overlong, above U+10FFFF
                return 0;
            return 4;
        }
        return 0;
    }

    /// A string literal at the position (which holds the opening quote), unescaped.
    std::string readString() {
        ++pos_;
        std::string out;
        while (true) {
            if (atEnd())
                fail("a string is not closed");
            const auto c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (c < 0x20)
                fail("a control character in a string");
            if (c == '\\') {
                ++pos_;
                if (atEnd())
                    fail("a string is not closed");
                const char e = s_[pos_++];
                switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    std::uint32_t cp = readHex4();
                    if (cp >= 0xDC00 && cp <= 0xDFFF)
                        fail("a lone surrogate in a string");
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (s_.substr(pos_, 2) != "\\u")
                            fail("a lone surrogate in a string");
                        pos_ += 2;
                        const std::uint32_t low = readHex4();
                        if (low < 0xDC00 || low > 0xDFFF)
                            fail("a lone surrogate in a string");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default:
                    fail("an unknown escape in a string");
                }
                continue;
            }
            if (c < 0x80) {
                // Copy a run of plain ASCII at once.
                std::size_t end = pos_ + 1;
                while (end < s_.size()) {
                    const auto d = static_cast<unsigned char>(s_[end]);
                    if (d == '"' || d == '\\' || d < 0x20 || d >= 0x80)
                        break;
                    ++end;
                }
                out.append(s_.data() + pos_, end - pos_);
                pos_ = end;
                continue;
            }
            const std::size_t length = utf8Length(pos_);
            if (length == 0)
                fail("text that is not UTF-8");
            out.append(s_.data() + pos_, length);
            pos_ += length;
        }
    }

    void skipValue(int depth) {
        if (depth > maxDepth)
            fail("the document is nested too deeply");
        skipSpace();
        switch (peek()) {
        case '{':
            readObject([&](const std::string&) { skipValue(depth + 1); });
            return;
        case '[':
            readArray([&] { skipValue(depth + 1); });
            return;
        case '"': {
            std::string ignored = readString();
            wipeString(ignored);
            return;
        }
        case 't':
            expectLiteral("true");
            return;
        case 'f':
            expectLiteral("false");
            return;
        case 'n':
            expectLiteral("null");
            return;
        default:
            scanNumber();
        }
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

} // namespace

namespace {

std::unique_ptr<PlainBuffer> openPassphraseForm(const Bytes& blob, std::string_view passphrase) {
    if (!SecretsBundle::isPassphraseBundle(blob) || blob.size() < v2Prefix)
        throw BackupError::decryptFailed();
    const std::size_t saltLength = blob[6];
    if (blob.size() < v2Prefix + saltLength + 4)
        throw BackupError::decryptFailed();
    const Bytes salt(blob.begin() + v2Prefix, blob.begin() + static_cast<std::ptrdiff_t>(v2Prefix + saltLength));
    const std::uint8_t* count = blob.data() + v2Prefix + saltLength;
    const std::uint32_t iterations = (std::uint32_t(count[0]) << 24) | (std::uint32_t(count[1]) << 16) |
                                     (std::uint32_t(count[2]) << 8) | std::uint32_t(count[3]);
    if (iterations == 0 || iterations > SecretsBundle::maxIterations)
        throw BackupError::decryptFailed();
    const std::size_t boxOffset = v2Prefix + saltLength + 4;
    // A box too short to open fails before the costly derivation.
    if (blob.size() - boxOffset < SecretsBundle::nonceBytes + SecretsBundle::tagBytes)
        throw BackupError::decryptFailed();
    const SymmetricKey key = KDF::deriveKey(passphrase, salt, iterations);
    return openBox(key, blob.data() + boxOffset, blob.size() - boxOffset);
}

} // namespace

namespace SecretsBundle {

BundlePayload decodePayload(std::string_view json) {
    return PayloadReader(json).read();
}

// ---- Cipher layers -----------------------------------------------------------------------------

Bytes gcmSeal(const SymmetricKey& key, const std::array<std::uint8_t, nonceBytes>& nonce, const std::uint8_t* plaintext,
              std::size_t size) {
    Bytes out(size + tagBytes);
    gcmEncrypt(key, nonce.data(), plaintext, size, out.data(), out.data() + size);
    return out;
}

Bytes gcmOpenCombined(const SymmetricKey& key, const std::uint8_t* box, std::size_t size) {
    return openBox(key, box, size)->copy();
}

namespace {

/// The nonce source a test installed on this thread; null means the secure random generator.
thread_local const RandomSource* nonceSourceOverride = nullptr;

} // namespace

ScopedNonceSource::ScopedNonceSource(RandomSource source) : source_(std::move(source)), previous_(nonceSourceOverride) {
    nonceSourceOverride = &source_;
}

ScopedNonceSource::~ScopedNonceSource() {
    nonceSourceOverride = previous_;
}

std::array<std::uint8_t, nonceBytes> drawNonce() {
    // A raw-key bundle is told from a passphrase bundle by its first four bytes, which are the
    // nonce's: a nonce that begins with the magic would make the bundle read as the other form and
    // never open. Drawing again costs nothing (it happens once in 2^32 seals) and changes no
    // property of the nonce that matters, since it stays unique with overwhelming probability.
    std::array<std::uint8_t, nonceBytes> nonce{};
    for (;;) {
        const Bytes random = nonceSourceOverride ? (*nonceSourceOverride)(nonce.size()) : KDF::randomData(nonce.size());
        if (random.size() != nonce.size())
            fatal("the nonce source gave the wrong number of bytes");
        std::memcpy(nonce.data(), random.data(), nonce.size());
        if (!std::equal(magic.begin(), magic.end(), nonce.begin()))
            return nonce;
    }
}

Bytes sealRaw(const Bytes& plaintext, const SymmetricKey& key) {
    Bytes blob;
    reserveMore(blob, nonceBytes + plaintext.size() + tagBytes);
    blob.resize(nonceBytes);
    blob.insert(blob.end(), plaintext.begin(), plaintext.end());
    sealInPlace(blob, nonceBytes, key);
    return blob;
}

Bytes sealV2(const Bytes& plaintext, std::string_view passphrase) {
    const Bytes salt = KDF::randomData(KDF::saltBytes);
    const SymmetricKey key = KDF::deriveKey(passphrase, salt, KDF::defaultIterations);
    Bytes blob = passphraseHeader(salt, KDF::defaultIterations);
    const std::size_t offset = blob.size() + nonceBytes;
    reserveMore(blob, offset + plaintext.size() + tagBytes);
    blob.resize(offset);
    blob.insert(blob.end(), plaintext.begin(), plaintext.end());
    sealInPlace(blob, offset, key);
    return blob;
}

Bytes openV2(const Bytes& blob, std::string_view passphrase) {
    return openPassphraseForm(blob, passphrase)->copy();
}

bool isPassphraseBundle(const Bytes& blob) {
    return blob.size() >= magic.size() && std::equal(magic.begin(), magic.end(), blob.begin());
}

// ---- Building, sealing, opening ----------------------------------------------------------------

ProjectLookup gitProjectLookup() {
    return [](const std::string& path, const FileAccessProvider& access) { return GitInfo::context(path, access); };
}

namespace {

/// The permission bits of the file a path leads to: a link is followed (up to a sane depth), as the
/// read that took the contents followed it, so a linked key is restored with the key's own mode
/// rather than the link's 0777.
std::uint16_t modeOf(const std::string& path, const FileAccessProvider& access) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        const auto info = access.info(current);
        if (!info)
            return 0600;
        if (!info->isSymlink)
            return static_cast<std::uint16_t>(info->posixPermissions & 07777);
        const auto next = access.destinationOfSymlink(current);
        if (!next)
            return 0600;
        current = *next;
    }
    return 0600;
}

} // namespace

namespace {

/// Reads each path in order and hands every readable file to `take`; unreadable paths are listed in
/// `skipped`, readable ones in `included`.
template <typename Take>
void visitFiles(const std::vector<std::string>& files, const FileAccessProvider& access,
                const ProjectLookup& projectLookup, std::vector<std::string>& included,
                std::vector<std::string>& skipped, Take&& take) {
    for (const std::string& path : files) {
        std::optional<Bytes> data = access.read(path);
        if (!data) {
            skipped.push_back(path);
            continue;
        }
        BundleFile file;
        file.path = path;
        file.mode = modeOf(path, access);
        file.data = std::move(*data);
        if (projectLookup)
            file.project = projectLookup(path, access);
        included.push_back(path);
        take(std::move(file));
    }
}

} // namespace

BuildResult buildPayload(const std::vector<std::string>& files, const FileAccessProvider& access,
                         const ProjectLookup& projectLookup) {
    BuildResult result;
    result.payload.version = 1;
    visitFiles(files, access, projectLookup, result.included, result.skipped,
               [&](BundleFile&& file) { result.payload.files.push_back(std::move(file)); });
    result.payload.createdAt = std::chrono::system_clock::now();
    return result;
}

SealResult seal(const std::vector<std::string>& files, const KeySource& source, const FileAccessProvider& access,
                const ProjectLookup& projectLookup) {
    // The same document buildPayload describes, streamed: each file is encoded straight into the
    // blob behind the header, encrypted there in place while still in cache, and its contents
    // released before the next one is read, so only one file is held besides the blob.
    SealResult result;
    std::optional<SymmetricKey> derived;
    if (source.kind() == KeySource::Kind::rawKey) {
        result.blob.resize(nonceBytes);
    } else {
        const Bytes salt = KDF::randomData(KDF::saltBytes);
        derived = KDF::deriveKey(source.passphraseText().view(), salt, KDF::defaultIterations);
        result.blob = passphraseHeader(salt, KDF::defaultIterations);
        result.blob.resize(result.blob.size() + nonceBytes);
    }
    const std::size_t offset = result.blob.size();

    // Sizes on disk give the blob its room up front (a hint only: files may change meanwhile).
    std::size_t expected = offset + 64 + tagBytes;
    for (const std::string& path : files)
        if (auto info = access.info(path); info && !info->isDirectory && info->size > 0)
            expected += fileJsonSize(static_cast<std::size_t>(info->size), 2 * path.size() + 2, 512);
    reserveMore(result.blob, expected);

    try {
        GrowingSealer sealer(derived ? *derived : source.key(), result.blob, offset);
        appendDocumentStart(result.blob, 1, std::chrono::system_clock::now());
        bool first = true;
        visitFiles(files, access, projectLookup, result.included, result.skipped, [&](BundleFile&& file) {
            const std::string path = jsonString(file.path);
            const std::string project = projectJson(file.project);
            appendFile(result.blob, first, path, file.mode, file.data, project);
            wipeBytes(file.data);
            sealer.catchUp();
            first = false;
        });
        appendDocumentEnd(result.blob);
        reserveMore(result.blob, tagBytes);
        sealer.finish();
    } catch (...) {
        wipeBytes(result.blob);
        throw;
    }
    return result;
}

SealResult seal(const std::vector<std::string>& files, const SymmetricKey& key) {
    return seal(files, KeySource::rawKey(key), DirectFileAccess());
}

BundlePayload open(const Bytes& blob, const KeySource& source) {
    std::unique_ptr<PlainBuffer> plaintext;
    if (source.kind() == KeySource::Kind::rawKey) {
        // A passphrase bundle is never tried with a raw key.
        if (isPassphraseBundle(blob))
            throw BackupError::decryptFailed();
        plaintext = openBox(source.key(), blob.data(), blob.size());
    } else {
        plaintext = openPassphraseForm(blob, source.passphraseText().view());
    }
    return decodePayload(plaintext->text());
}

BundlePayload open(const Bytes& blob, const SymmetricKey& key) {
    return open(blob, KeySource::rawKey(key));
}

} // namespace SecretsBundle

// ---- Comparing and restoring -------------------------------------------------------------------

namespace {

/// UTF-8 text with every ill-formed sequence replaced by U+FFFD, one replacement per maximal
/// subpart (the Unicode recommendation, as most decoders do).
std::string utf8Lossy(const Bytes& bytes) {
    static const char replacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t c = bytes[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0)
                lo = 0xA0;
            if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0)
                lo = 0x90;
            if (c == 0xF4)
                hi = 0x8F;
        }
        if (length == 0) {
            out += replacement;
            ++i;
            continue;
        }
        std::size_t k = 1;
        while (k < length && i + k < n) {
            const std::uint8_t b = bytes[i + k];
            const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
            if (!ok)
                break;
            ++k;
        }
        if (k == length)
            out.append(reinterpret_cast<const char*>(bytes.data() + i), length);
        else
            out += replacement;
        i += k;
    }
    return out;
}

/// True when the path has a "." or ".." component.
bool hasDotComponents(const std::string& path) {
    std::size_t start = path.empty() || path[0] != '/' ? 0 : 1;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string_view part(path.data() + start, end - start);
        if (part == "." || part == "..")
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

namespace SecretsBundle {

FileDiff diff(const Bytes& incoming, const std::string& path, const FileAccessProvider& access) {
    FileDiff result;
    if (!access.exists(path)) {
        result.kind = FileDiff::Kind::new_;
        return result;
    }
    const std::optional<Bytes> current = access.read(path);
    if (!current) {
        result.kind = FileDiff::Kind::modified;
        return result;
    }
    if (*current == incoming) {
        result.kind = FileDiff::Kind::identical;
        return result;
    }
    if (incoming.size() > LineDiff::maxBytes || current->size() > LineDiff::maxBytes || LineDiff::isBinary(incoming) ||
        LineDiff::isBinary(*current)) {
        result.kind = FileDiff::Kind::binary;
        return result;
    }
    LineDiff::Result lines = LineDiff::unified(utf8Lossy(*current), utf8Lossy(incoming), 3);
    result.kind = FileDiff::Kind::modified;
    result.hunks = std::move(lines.hunks);
    result.added = lines.added;
    result.removed = lines.removed;
    return result;
}

std::vector<RestoreOutcome> restore(const BundlePayload& payload, const std::optional<std::set<std::string>>& select,
                                    ConflictPolicy policy, const std::optional<std::string>& snapshot,
                                    const std::optional<std::map<std::string, std::string>>& destinations,
                                    const std::optional<std::string>& prefix, bool dryRun, FileAccessProvider& access) {
    RestoreWriter writer(access, policy, snapshot, RestoreWriter::runFolderName(std::chrono::system_clock::now()),
                         prefix, dryRun);
    return restore(payload, select, destinations, prefix, writer);
}

std::vector<RestoreOutcome> restore(const BundlePayload& payload, const std::optional<std::set<std::string>>& select,
                                    const std::optional<std::map<std::string, std::string>>& destinations,
                                    const std::optional<std::string>& prefix, RestoreWriter& writer) {
    std::vector<RestoreOutcome> outcomes;
    for (const BundleFile& file : payload.files) {
        if (select && !select->count(file.path))
            continue;

        std::string target = file.path;
        if (destinations) {
            if (auto it = destinations->find(file.path); it != destinations->end())
                target = it->second;
        }
        if (prefix) {
            // Joined under the prefix, ".." would climb out of it, and a path without a name ("",
            // "/") would be the prefix folder itself, whose beside name lies outside it.
            if (hasDotComponents(target))
                throw BackupError::io("will not restore " + target + " under " + *prefix +
                                      ": the path leaves the folder");
            if (target.find_first_not_of('/') == std::string::npos)
                throw BackupError::io("will not restore \"" + target + "\" under " + *prefix +
                                      ": the path names no file");
            target = paths::join(*prefix, paths::relativeForm(target));
        }
        // Saved copies are filed under the recorded path, not a redirected target.
        outcomes.push_back(
            writer.restoreFile(file.path, file.path, file.data, static_cast<std::uint16_t>(file.mode & 07777), target));
    }
    return outcomes;
}

} // namespace SecretsBundle

} // namespace stowage
