#include "core/RestoreEngine.hpp"

#include "core/BackupError.hpp"
#include "core/Paths.hpp"
#include "core/platform/KeyStore.hpp"
#include "support/FaultInjectingFileAccess.hpp"
#include "support/TempHome.hpp"
#include "support/Trees.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sys/stat.h>

namespace stowage {
namespace {

namespace fs = std::filesystem;
using testing::FaultInjectingFileAccess;
using testing::slurp;
using testing::TempHome;
using Action = RestoreOutcome::Action;
using Op = FaultInjectingFileAccess::Operation;

// ---- Fixtures --------------------------------------------------------------------------------

std::uint16_t modeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return 0xffff;
    return static_cast<std::uint16_t>(st.st_mode & 07777);
}

bool present(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

void writeFile(const std::string& path, const std::string& content, std::optional<std::uint16_t> mode = {}) {
    DirectFileAccess().write(toBytes(content), path, mode);
}

/// Every file below `root` with its content and permission bits, and every folder with its bits.
std::map<std::string, std::pair<std::string, std::uint16_t>> snapshotTree(const std::string& root) {
    std::map<std::string, std::pair<std::string, std::uint16_t>> tree;
    if (!present(root))
        return tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = it->path().string().substr(root.size());
        tree[rel] = {it->is_directory() ? std::string("<dir>") : slurp(it->path().string()),
                     modeOf(it->path().string())};
    }
    return tree;
}

/// Builds a backup folder by hand, in the layout the backup engine writes: stored copies under
/// config/home (for paths under the recorded home), config/abs and projects/, a bundle, backup.json.
class BackupBuilder {
public:
    BackupBuilder(std::string dir, std::string recordedHome) : dir_(std::move(dir)) {
        manifest.homeFolder = std::move(recordedHome);
        manifest.createdAt = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    }

    const std::string& dir() const { return dir_; }

    std::string storedRelPathFor(const std::string& original) const {
        if (manifest.homeFolder && paths::isUnder(original, *manifest.homeFolder))
            return "config/home" + original.substr(manifest.homeFolder->size());
        std::string flat = original;
        std::replace(flat.begin(), flat.end(), '/', '_');
        return "config/abs/" + flat;
    }

    /// A config file recorded at `original`.
    BackupBuilder& configFile(const std::string& original, const std::string& content, std::uint16_t mode = 0644) {
        std::string rel = storedRelPathFor(original);
        writeFile(paths::join(dir_, rel), content, mode);
        manifest.configs.push_back({original, rel});
        return *this;
    }

    /// A config folder recorded at `original`, holding `files` (relative path → content).
    BackupBuilder& configFolder(const std::string& original, const std::map<std::string, std::string>& files,
                                std::uint16_t folderMode = 0755) {
        std::string rel = storedRelPathFor(original);
        std::string stored = paths::join(dir_, rel);
        fs::create_directories(stored);
        for (const auto& [name, content] : files)
            writeFile(paths::join(stored, name), content, 0644);
        ::chmod(stored.c_str(), folderMode);
        manifest.configs.push_back({original, rel});
        return *this;
    }

    BackupBuilder& project(const std::string& original, const std::map<std::string, std::string>& files) {
        std::string name = paths::lastComponent(original);
        std::string rel = "projects/" + name;
        fs::create_directories(paths::join(dir_, rel));
        for (const auto& [path, content] : files)
            writeFile(paths::join(paths::join(dir_, rel), path), content, 0644);
        if (!manifest.projects)
            manifest.projects.emplace();
        manifest.projects->push_back({original, rel, name});
        return *this;
    }

    BackupBuilder& secrets(const std::vector<BundleFile>& files, const KeySource& source) {
        BundlePayload payload;
        payload.createdAt = manifest.createdAt;
        payload.files = files;
        Bytes json = toBytes(SecretsBundle::encodePayload(payload));
        Bytes blob = source.kind() == KeySource::Kind::rawKey
                         ? SecretsBundle::sealRaw(json, source.key())
                         : SecretsBundle::sealV2(json, source.passphraseText().view());
        writeFile(paths::join(dir_, "secrets.stowage"), toString(blob), 0600);
        manifest.hasSecrets = true;
        manifest.secretPaths.clear();
        for (const auto& file : files)
            manifest.secretPaths.push_back(file.path);
        return *this;
    }

    void save() const { writeFile(paths::join(dir_, "backup.json"), manifest.encode()); }

    BackupManifest manifest;

private:
    std::string dir_;
};

BundleFile secret(const std::string& path, const std::string& content, std::uint16_t mode = 0600,
                  std::optional<ProjectContext> project = std::nullopt) {
    return BundleFile{path, mode, toBytes(content), std::move(project)};
}

SymmetricKey fixedKey() {
    std::array<std::uint8_t, 32> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return SymmetricKey(bytes);
}

class RestoreEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        keys = std::make_shared<FileKeyStore>(paths::join(outside, "keys"));
        KeyStore::overrideStandard(keys);
        engine.runName = kRun;
    }
    void TearDown() override { KeyStore::overrideStandard(nullptr); }

    std::string home(const std::string& rel) const { return temp / rel; }
    /// Where this run saves the copy of the file recorded at home/rel.
    std::string saved(const std::string& rel) const {
        return paths::join(paths::join(snapshot, kRun), paths::relativeForm(home(rel)));
    }

    static constexpr const char* kRun = "20261206T201500Z";

    TempHome temp;
    /// A folder beside the home folder, so wiping the home does not touch the backup.
    std::string outside = paths::parent(temp.path());
    std::string dir = paths::join(outside, "backup");
    std::string snapshot = paths::join(dir, RestoreEngine::snapshotFolderName);
    BackupBuilder backup{dir, temp.path()};
    std::shared_ptr<FaultInjectingFileAccess> faulty = std::make_shared<FaultInjectingFileAccess>();
    RestoreEngine engine{faulty};
    std::shared_ptr<FileKeyStore> keys;

    int writeCalls() const {
        return faulty->calls(Op::write) + faulty->calls(Op::createDirectory) + faulty->calls(Op::remove) +
               faulty->calls(Op::copyItem);
    }
};

class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : saved_(::umask(mask)) {}
    ~UmaskScope() { ::umask(saved_); }

private:
    mode_t saved_;
};

// ---- Manifest and path safety -----------------------------------------------------------------

TEST_F(RestoreEngineTest, MissingManifestAndBundleGiveTheirSentences) {
    fs::create_directories(dir);
    try {
        engine.loadManifest(dir);
        FAIL();
    } catch (const BackupError& e) {
        EXPECT_EQ(std::string(e.what()), "I/O error: no backup.json in " + dir);
    }
    try {
        engine.restoreSecrets(dir, std::nullopt, SecretString("x"), std::nullopt, ConflictPolicy::overwrite,
                              std::nullopt, std::nullopt, std::nullopt, false);
        FAIL();
    } catch (const BackupError& e) {
        EXPECT_EQ(std::string(e.what()), "I/O error: no secrets.stowage in " + dir);
    }
    EXPECT_FALSE(engine.secretsNeedPassphrase(dir));
    EXPECT_EQ(writeCalls(), 0);
}

TEST_F(RestoreEngineTest, DamagedManifestFailsToDecode) {
    writeFile(paths::join(dir, "backup.json"), "{\"version\": 1}");
    EXPECT_THROW(engine.loadManifest(dir), DecodingError);
}

TEST_F(RestoreEngineTest, UnsafeStoredPathsAreRefusedBeforeAnythingIsWritten) {
    // A secret file beside the backup folder that a hostile manifest tries to read back out.
    writeFile(paths::join(outside, "victim"), "secret stuff");
    const std::vector<std::string> hostile = {
        "../victim", "config/../../victim",         "/etc/passwd", "config//x", "config/x/",
        "",          std::string("config/a\0b", 10)};
    for (const std::string& rel : hostile) {
        BackupBuilder b(dir, temp.path());
        b.configFile(home(".zshrc"), "safe");
        b.manifest.configs.push_back({home(".stolen"), rel});
        b.save();
        for (int kind = 0; kind < 2; ++kind) {
            try {
                if (kind == 0)
                    engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
                else
                    engine.loadManifest(dir);
                ADD_FAILURE() << "accepted " << rel;
            } catch (const BackupError& e) {
                EXPECT_EQ(e.message(), "unsafe path in backup.json: " + rel);
            }
        }
        EXPECT_FALSE(present(home(".zshrc"))) << "the safe entry before it must not be written either";
        EXPECT_FALSE(present(home(".stolen")));
    }
    EXPECT_EQ(writeCalls(), 0);

    // Projects, recorded paths and the recorded home are checked the same way.
    const std::vector<std::function<void(BackupManifest&)>> edits = {
        [](BackupManifest& m) {
            m.projects = std::vector<ProjectEntry>{{"/p/app", "projects/../../x", "app"}};
        },
        [](BackupManifest& m) {
            m.configs.push_back({"relative/.zshrc", "config/home/.zshrc"});
        },
        [](BackupManifest& m) {
            m.configs.push_back({"/home/u/../../etc/cron.d/x", "config/home/x"});
        },
        [](BackupManifest& m) { m.secretPaths.push_back("/home/u/../.ssh/id"); },
        [](BackupManifest& m) { m.homeFolder = "/home/../etc"; },
    };
    for (const auto& edit : edits) {
        BackupBuilder b(dir, temp.path());
        edit(b.manifest);
        b.save();
        try {
            engine.restoreProjects(dir, std::nullopt, ConflictPolicy::overwrite, std::nullopt, std::nullopt,
                                   std::nullopt, false);
            ADD_FAILURE();
        } catch (const BackupError& e) {
            EXPECT_EQ(e.message().rfind("unsafe path in backup.json: ", 0), 0u) << e.message();
        }
    }
    EXPECT_EQ(writeCalls(), 0);
}

TEST_F(RestoreEngineTest, StoredCopiesReachedThroughALinkAreRefused) {
    writeFile(home(".ssh/id_rsa"), "private key");
    backup.configFile(home(".zshrc"), "z");
    backup.manifest.configs.push_back({home(".stolen/id_rsa"), "config/home/.evil/id_rsa"});
    backup.save();
    fs::create_directories(paths::join(dir, "config/home"));
    fs::create_directory_symlink(home(".ssh"), paths::join(dir, "config/home/.evil"));
    try {
        engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, std::nullopt, std::nullopt, false);
        FAIL();
    } catch (const BackupError& e) {
        EXPECT_EQ(e.message(), "symbolic link in backup folder: config/home/.evil/id_rsa");
    }
    EXPECT_FALSE(present(home(".stolen")));
    EXPECT_FALSE(present(home(".zshrc")));
}

TEST(RestorePathRules, SafePaths) {
    EXPECT_TRUE(RestoreEngine::isSafeRelativePath("config/home/.zshrc"));
    EXPECT_TRUE(RestoreEngine::isSafeRelativePath("projects/a..b"));
    EXPECT_FALSE(RestoreEngine::isSafeRelativePath(".."));
    EXPECT_FALSE(RestoreEngine::isSafeRelativePath("a/.."));
    EXPECT_TRUE(RestoreEngine::isSafeAbsolutePath("/home/u/.zshrc"));
    EXPECT_FALSE(RestoreEngine::isSafeAbsolutePath("/"));
    EXPECT_FALSE(RestoreEngine::isSafeAbsolutePath("//x"));
    EXPECT_FALSE(RestoreEngine::isSafeAbsolutePath("home/u"));
}

// ---- Config ----------------------------------------------------------------------------------

TEST_F(RestoreEngineTest, ConfigRoundTripKeepsEveryByteAndPermissionBit) {
    UmaskScope umask(0);
    writeFile(home(".zshrc"), "export A=1\n", 0644);
    writeFile(home("bin/tool"), "#!/bin/sh\necho hi\n", 0755);
    writeFile(home(".config/nvim/init.lua"), "vim.o.number = true\n", 0600);
    writeFile(home(".config/nvim/lua/plugins.lua"), "return {}\n", 0640);
    ::chmod(home(".config/nvim").c_str(), 0700);
    // ~/.config is not backed up; a restore creates it as the umask says, so make it that way here too.
    ::chmod(home(".config").c_str(), 0777);
    writeFile(home(".gitconfig"), std::string("bin\0ary", 7), 0444);
    DirectFileAccess direct;
    for (const char* rel : {".zshrc", "bin", ".config/nvim", ".gitconfig"}) {
        std::string original = home(rel);
        std::string stored = backup.storedRelPathFor(original);
        direct.copyItem(original, paths::join(dir, stored));
        backup.manifest.configs.push_back({original, stored});
    }
    backup.save();
    const auto before = snapshotTree(temp.path());
    for (const char* rel : {".zshrc", "bin", ".config", ".gitconfig"})
        fs::remove_all(home(rel));

    auto outcomes = engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
    EXPECT_EQ(snapshotTree(temp.path()), before);
    ASSERT_EQ(outcomes.size(), 4u);
    EXPECT_EQ(outcomes[0].originalPath, home(".zshrc"));
    EXPECT_EQ(outcomes[2].originalPath, home(".config/nvim"));
    for (const auto& o : outcomes) {
        EXPECT_EQ(o.action, Action::restored);
        EXPECT_EQ(o.writtenPath, o.originalPath);
        EXPECT_FALSE(o.backedUpTo) << "nothing existed, so nothing was saved";
        EXPECT_FALSE(o.diff);
    }
    EXPECT_FALSE(present(snapshot));
}

TEST_F(RestoreEngineTest, SelectionRestrictsToRecordedPaths) {
    backup.configFile(home(".a"), "a").configFile(home(".b"), "b").configFile(home(".c"), "c");
    backup.save();
    auto none =
        engine.restoreConfig(dir, std::set<std::string>{}, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(writeCalls(), 0);
    auto some = engine.restoreConfig(dir, std::set<std::string>{home(".c"), home(".a"), "/not/recorded"},
                                     ConflictPolicy::overwrite, snapshot, std::nullopt, false);
    ASSERT_EQ(some.size(), 2u);
    EXPECT_EQ(some[0].originalPath, home(".a"));
    EXPECT_EQ(some[1].originalPath, home(".c"));
    EXPECT_FALSE(present(home(".b")));
}

TEST_F(RestoreEngineTest, ConflictPoliciesForConfigFiles) {
    backup.configFile(home(".zshrc"), "from backup\n", 0600).configFile(home(".vimrc"), "vim\n");
    backup.save();
    writeFile(home(".zshrc"), "mine\n", 0644);

    // skip: the existing file is untouched; a missing one is still written.
    auto skipped = engine.restoreConfig(dir, std::nullopt, ConflictPolicy::skip, snapshot, std::nullopt, false);
    ASSERT_EQ(skipped.size(), 2u);
    EXPECT_EQ(skipped[0].action, Action::skipped);
    EXPECT_FALSE(skipped[0].writtenPath);
    EXPECT_FALSE(skipped[0].backedUpTo);
    EXPECT_EQ(slurp(home(".zshrc")), "mine\n");
    EXPECT_EQ(skipped[1].action, Action::restored);
    EXPECT_EQ(slurp(home(".vimrc")), "vim\n");

    // writeBeside: a beside copy, replacing an older one; no saved copy even with a snapshot folder.
    writeFile(home(".zshrc.stowage-restored"), "older beside copy");
    auto beside = engine.restoreConfig(dir, std::nullopt, ConflictPolicy::writeBeside, snapshot, std::nullopt, false);
    ASSERT_EQ(beside.size(), 2u);
    EXPECT_EQ(beside[0].action, Action::wroteBeside);
    EXPECT_EQ(beside[0].writtenPath, home(".zshrc.stowage-restored"));
    EXPECT_FALSE(beside[0].backedUpTo);
    EXPECT_EQ(slurp(home(".zshrc")), "mine\n");
    EXPECT_EQ(slurp(home(".zshrc.stowage-restored")), "from backup\n");
    EXPECT_EQ(modeOf(home(".zshrc.stowage-restored")), 0600);
    // An identical file gets no beside copy.
    EXPECT_EQ(beside[1].action, Action::unchanged);
    EXPECT_EQ(beside[1].writtenPath, home(".vimrc"));
    EXPECT_FALSE(present(home(".vimrc.stowage-restored")));

    // overwrite with saving: the replaced file goes to this run's folder at its recorded path,
    // owner-only whatever the umask; the identical file is neither saved nor rewritten.
    UmaskScope umask(0);
    const auto vimrcBefore = fs::last_write_time(home(".vimrc"));
    auto over = engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
    ASSERT_EQ(over.size(), 2u);
    EXPECT_EQ(over[0].action, Action::restored);
    EXPECT_EQ(over[0].backedUpTo, saved(".zshrc"));
    EXPECT_EQ(slurp(saved(".zshrc")), "mine\n");
    EXPECT_EQ(slurp(home(".zshrc")), "from backup\n");
    EXPECT_EQ(modeOf(home(".zshrc")), 0600);
    EXPECT_EQ(modeOf(saved(".zshrc")), 0600);
    for (std::string folder = paths::parent(saved(".zshrc")); folder != dir; folder = paths::parent(folder))
        EXPECT_EQ(modeOf(folder), 0700) << folder;
    EXPECT_EQ(over[1].action, Action::unchanged);
    EXPECT_FALSE(over[1].backedUpTo);
    EXPECT_EQ(fs::last_write_time(home(".vimrc")), vimrcBefore);

    // A second run keeps the first run's copies and the flat layout of older versions.
    const std::string flat = paths::join(snapshot, paths::relativeForm(home(".zshrc")));
    writeFile(flat, "copy from an older version");
    writeFile(home(".zshrc"), "edited again\n");
    RestoreEngine second(faulty);
    second.runName = "20261206T201600Z";
    auto again = second.restoreConfig(dir, std::set<std::string>{home(".zshrc")}, ConflictPolicy::overwrite, snapshot,
                                      std::nullopt, false);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].backedUpTo, paths::join(snapshot, "20261206T201600Z" + home(".zshrc")));
    EXPECT_EQ(slurp(*again[0].backedUpTo), "edited again\n");
    EXPECT_EQ(slurp(saved(".zshrc")), "mine\n");
    EXPECT_EQ(slurp(flat), "copy from an older version");
    // Within one run a path saved twice keeps both.
    writeFile(home(".zshrc"), "third\n");
    auto twice = second.restoreConfig(dir, std::set<std::string>{home(".zshrc")}, ConflictPolicy::overwrite, snapshot,
                                      std::nullopt, false);
    EXPECT_EQ(twice[0].backedUpTo, *again[0].backedUpTo + ".2");
    EXPECT_EQ(slurp(*again[0].backedUpTo), "edited again\n");

    // overwrite without a snapshot folder saves nothing.
    writeFile(home(".vimrc"), "changed");
    auto plain = engine.restoreConfig(dir, std::set<std::string>{home(".vimrc")}, ConflictPolicy::overwrite,
                                      std::nullopt, std::nullopt, false);
    EXPECT_FALSE(plain[0].backedUpTo);
    EXPECT_EQ(slurp(home(".vimrc")), "vim\n");
}

/// What a tree holds on this machine before each policy runs over it: a file changed since the
/// backup, an identical one, one only here, and one only in the backup (inside a missing folder).
struct TreeCase {
    ConflictPolicy policy;
    const char* changed; // content of main.c afterwards
    const char* beside;  // content of main.c.stowage-restored afterwards ("" = none)
    Action changedAction;
    bool savedCopy;
};

TEST_F(RestoreEngineTest, PoliciesHoldForEveryFileInsideTrees) {
    backup.project(home("Development/app"),
                   {{"src/main.c", "backup main\n"}, {"README", "same"}, {"docs/new.md", "new doc"}});
    backup.configFolder(home(".config/nvim"), {{"init.lua", "backup init\n"}, {"same.lua", "same"}});
    backup.save();
    const std::vector<TreeCase> cases = {
        {ConflictPolicy::overwrite, "backup main\n", "", Action::restored, true},
        {ConflictPolicy::skip, "local main\n", "", Action::skipped, false},
        {ConflictPolicy::writeBeside, "local main\n", "backup main\n", Action::wroteBeside, false},
    };
    for (const TreeCase& c : cases) {
        SCOPED_TRACE(toString(c.policy));
        fs::remove_all(home("Development"));
        fs::remove_all(home(".config"));
        fs::remove_all(snapshot);
        writeFile(home("Development/app/src/main.c"), "local main\n");
        writeFile(home("Development/app/README"), "same");
        writeFile(home("Development/app/local-only.txt"), "keep me");
        writeFile(home(".config/nvim/init.lua"), "local init\n");
        writeFile(home(".config/nvim/same.lua"), "same");
        const auto sameBefore = fs::last_write_time(home("Development/app/README"));

        // The dry run names every file that would change, with its verdict and diff.
        const int callsBefore = writeCalls();
        auto dry = engine.restoreProjects(dir, std::nullopt, c.policy, snapshot, std::nullopt, std::nullopt, true);
        ASSERT_EQ(dry.size(), 1u);
        EXPECT_EQ(dry[0].diff->kind, FileDiff::Kind::directory);
        ASSERT_EQ(dry[0].files.size(), 2u) << "identical README left out";
        EXPECT_EQ(dry[0].files[0].originalPath, home("Development/app/docs/new.md"));
        EXPECT_EQ(dry[0].files[0].diff->kind, FileDiff::Kind::new_);
        EXPECT_EQ(dry[0].files[1].originalPath, home("Development/app/src/main.c"));
        EXPECT_EQ(dry[0].files[1].action, c.changedAction);
        EXPECT_EQ(dry[0].files[1].diff->hunks, (std::vector<std::string>{"- local main", "+ backup main", "  "}));
        EXPECT_EQ(writeCalls(), callsBefore);

        auto projects =
            engine.restoreProjects(dir, std::nullopt, c.policy, snapshot, std::nullopt, std::nullopt, false);
        auto config = engine.restoreConfig(dir, std::nullopt, c.policy, snapshot, std::nullopt, false);
        ASSERT_EQ(projects.size(), 1u);
        EXPECT_EQ(projects[0].action, Action::restored);
        EXPECT_EQ(slurp(home("Development/app/src/main.c")), std::string(c.changed));
        EXPECT_EQ(slurp(home("Development/app/src/main.c.stowage-restored")), std::string(c.beside));
        EXPECT_EQ(slurp(home(".config/nvim/init.lua")),
                  c.policy == ConflictPolicy::overwrite ? "backup init\n" : "local init\n");
        EXPECT_EQ(slurp(home(".config/nvim/init.lua.stowage-restored")), std::string(*c.beside ? "backup init\n" : ""));
        EXPECT_EQ(slurp(home("Development/app/docs/new.md")), "new doc") << "missing files are written";
        EXPECT_EQ(slurp(home("Development/app/local-only.txt")), "keep me");
        EXPECT_EQ(fs::last_write_time(home("Development/app/README")), sameBefore);
        EXPECT_FALSE(present(home("Development/app.stowage-restored")));
        EXPECT_FALSE(present(saved("Development/app/README")));
        EXPECT_FALSE(present(saved(".config/nvim/same.lua")));
        EXPECT_EQ(present(saved("Development/app/src/main.c")), c.savedCopy);
        EXPECT_EQ(present(saved(".config/nvim/init.lua")), c.savedCopy);
        if (c.savedCopy) {
            EXPECT_EQ(slurp(saved("Development/app/src/main.c")), "local main\n");
            EXPECT_EQ(projects[0].backedUpTo, saved("Development/app"));
            EXPECT_EQ(projects[0].files[1].backedUpTo, saved("Development/app/src/main.c"));
            EXPECT_EQ(config[0].backedUpTo, saved(".config/nvim"));
        }
    }
}

TEST_F(RestoreEngineTest, MergingIntoALinkedFolderWritesThroughTheLinkAndSavesItsContent) {
    backup.configFolder(home(".config/nvim"), {{"init.lua", "backup init"}});
    backup.save();
    writeFile(home("dotfiles/nvim/init.lua"), "dotfiles init");
    writeFile(home("dotfiles/nvim/extra.lua"), "extra");
    fs::create_directories(home(".config"));
    fs::create_directory_symlink(home("dotfiles/nvim"), home(".config/nvim"));

    auto outcomes = engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
    EXPECT_TRUE(fs::is_symlink(home(".config/nvim")));
    EXPECT_EQ(slurp(home("dotfiles/nvim/init.lua")), "backup init");
    EXPECT_EQ(slurp(home("dotfiles/nvim/extra.lua")), "extra");
    ASSERT_TRUE(outcomes[0].backedUpTo);
    EXPECT_FALSE(fs::is_symlink(*outcomes[0].backedUpTo));
    EXPECT_EQ(slurp(saved(".config/nvim/init.lua")), "dotfiles init");
}

TEST_F(RestoreEngineTest, FreshConfigFolderKeepsItsPermissionBits) {
    UmaskScope umask(0);
    backup.configFolder(home(".gnupg"), {{"gpg.conf", "use-agent"}, {"private-keys-v1.d/k.key", "k"}}, 0700);
    backup.save();
    engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
    EXPECT_EQ(modeOf(home(".gnupg")), 0700);
    EXPECT_EQ(slurp(home(".gnupg/private-keys-v1.d/k.key")), "k");
}

TEST_F(RestoreEngineTest, LinksInsideABackedUpTreeAreNeverReproduced) {
    backup.configFolder(home(".config/tool"), {{"a.conf", "a"}});
    backup.save();
    writeFile(paths::join(outside, "elsewhere/secret"), "not in the backup");
    fs::create_symlink(paths::join(outside, "elsewhere/secret"), paths::join(dir, "config/home/.config/tool/link"));
    fs::create_directory_symlink(paths::join(outside, "elsewhere"), paths::join(dir, "config/home/.config/tool/dir"));
    engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
    EXPECT_EQ(slurp(home(".config/tool/a.conf")), "a");
    EXPECT_FALSE(present(home(".config/tool/link")));
    EXPECT_FALSE(present(home(".config/tool/dir")));
}

TEST_F(RestoreEngineTest, AMissingStoredCopyFailsOnlyItsOwnEntry) {
    backup.configFile(home(".a"), "a");
    backup.manifest.configs.push_back({home(".b"), "config/home/.b"});
    backup.configFile(home(".c"), "c");
    backup.project(home("Development/gone"), {});
    backup.save();
    fs::remove_all(paths::join(dir, "projects/gone"));
    writeFile(home(".b"), "mine");
    for (ConflictPolicy policy : allConflictPolicies())
        for (bool dryRun : {true, false}) {
            auto outcomes = engine.restoreConfig(dir, std::nullopt, policy, snapshot, std::nullopt, dryRun);
            ASSERT_EQ(outcomes.size(), 3u);
            EXPECT_EQ(outcomes[1].action, Action::failed);
            EXPECT_EQ(outcomes[1].error, "missing from backup folder: config/home/.b");
            EXPECT_FALSE(outcomes[1].writtenPath);
            EXPECT_NE(outcomes[2].action, Action::failed);
            auto projects =
                engine.restoreProjects(dir, std::nullopt, policy, snapshot, std::nullopt, std::nullopt, dryRun);
            ASSERT_EQ(projects.size(), 1u);
            EXPECT_EQ(projects[0].error, "missing from backup folder: projects/gone");
        }
    EXPECT_EQ(slurp(home(".a")), "a");
    EXPECT_EQ(slurp(home(".b")), "mine");
    EXPECT_EQ(slurp(home(".c")), "c");
    EXPECT_FALSE(present(home("Development/gone")));
}

TEST_F(RestoreEngineTest, DryRunPreviewsEveryConfigAndWritesNothing) {
    backup.configFile(home(".new"), "fresh\n")
        .configFile(home(".same"), "same\n")
        .configFile(home(".changed"), "a\nB\nc\n")
        .configFile(home(".bin"), std::string("x\0y", 3))
        .configFolder(home(".config/fish"), {{"config.fish", "set x"}});
    backup.save();
    writeFile(home(".same"), "same\n");
    writeFile(home(".changed"), "a\nb\nc\n");
    writeFile(home(".bin"), "text");
    const auto before = snapshotTree(temp.path());

    for (ConflictPolicy policy : allConflictPolicies()) {
        auto outcomes = engine.restoreConfig(dir, std::nullopt, policy, snapshot, std::nullopt, true);
        ASSERT_EQ(outcomes.size(), 5u);
        for (const auto& o : outcomes) {
            ASSERT_TRUE(o.diff) << o.originalPath;
            EXPECT_FALSE(o.backedUpTo);
        }
        EXPECT_EQ(outcomes[0].diff->kind, FileDiff::Kind::new_);
        EXPECT_EQ(outcomes[0].action, Action::restored);
        EXPECT_EQ(outcomes[1].diff->kind, FileDiff::Kind::identical);
        EXPECT_EQ(outcomes[2].diff->kind, FileDiff::Kind::modified);
        EXPECT_EQ(outcomes[2].diff->hunks, (std::vector<std::string>{"  a", "- b", "+ B", "  c", "  "}));
        EXPECT_EQ(outcomes[2].diff->added, 1);
        EXPECT_EQ(outcomes[2].diff->removed, 1);
        EXPECT_EQ(outcomes[3].diff->kind, FileDiff::Kind::binary);
        EXPECT_EQ(*outcomes[4].diff, (FileDiff{FileDiff::Kind::directory, {}, 0, 0}));
        if (policy == ConflictPolicy::skip) {
            EXPECT_EQ(outcomes[2].action, Action::skipped);
            EXPECT_FALSE(outcomes[2].writtenPath);
        }
        if (policy == ConflictPolicy::writeBeside) {
            EXPECT_EQ(outcomes[2].writtenPath, home(".changed.stowage-restored"));
        }
    }
    EXPECT_EQ(writeCalls(), 0);
    EXPECT_EQ(snapshotTree(temp.path()), before);
    EXPECT_FALSE(present(snapshot));
}

TEST_F(RestoreEngineTest, PrefixRootsTargetsButSavedCopiesKeepTheRecordedPath) {
    backup.configFile(home(".zshrc"), "backup");
    backup.save();
    const std::string prefix = paths::join(outside, "scratch");
    const std::string target = paths::join(prefix, paths::relativeForm(home(".zshrc")));
    writeFile(target, "old scratch");
    auto outcomes = engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, prefix, false);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].originalPath, home(".zshrc"));
    EXPECT_EQ(outcomes[0].writtenPath, target);
    EXPECT_EQ(slurp(target), "backup");
    EXPECT_EQ(outcomes[0].backedUpTo, saved(".zshrc"));
    EXPECT_FALSE(present(home(".zshrc")));
}

TEST_F(RestoreEngineTest, BackupFromAnotherHomeFolderLandsUnderThisOne) {
    // A path outside the recorded home stays where it was recorded (written there only with root).
    engine.privileged = true;
    const std::string elsewhere = paths::join(outside, "etc-like/hosts");
    BackupBuilder other(dir, "/Users/alice");
    other.configFile("/Users/alice/.zshrc", "alice zshrc")
        .configFolder("/Users/alice/.config/git", {{"config", "[user]"}})
        .configFile(elsewhere, "outside the home")
        .project("/Users/alice/Development/app", {{"main.c", "int main;"}});
    other.save();
    writeFile(home(".zshrc"), "this machine's zshrc");

    auto config = engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
    ASSERT_EQ(config.size(), 3u);
    EXPECT_EQ(config[0].originalPath, "/Users/alice/.zshrc");
    EXPECT_EQ(config[0].writtenPath, home(".zshrc"));
    EXPECT_EQ(slurp(home(".zshrc")), "alice zshrc");
    EXPECT_EQ(config[0].backedUpTo, saved(".zshrc"));
    EXPECT_EQ(slurp(home(".config/git/config")), "[user]");
    EXPECT_EQ(config[2].writtenPath, elsewhere);
    EXPECT_EQ(slurp(elsewhere), "outside the home");
    EXPECT_FALSE(present("/Users/alice"));

    auto projects = engine.restoreProjects(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt,
                                           std::nullopt, false);
    ASSERT_EQ(projects.size(), 1u);
    EXPECT_EQ(projects[0].originalPath, "/Users/alice/Development/app");
    EXPECT_EQ(projects[0].writtenPath, home("Development/app"));
    EXPECT_EQ(slurp(home("Development/app/main.c")), "int main;");

    // With a prefix the moved path is what gets rooted.
    const std::string prefix = paths::join(outside, "scratch");
    auto prefixed = engine.restoreConfig(dir, std::set<std::string>{"/Users/alice/.zshrc"}, ConflictPolicy::overwrite,
                                         std::nullopt, prefix, false);
    EXPECT_EQ(prefixed[0].writtenPath, paths::join(prefix, paths::relativeForm(home(".zshrc"))));
}

TEST_F(RestoreEngineTest, SystemFilesAreSkippedWithoutRootAndSaySo) {
    const std::string system = paths::join(outside, "etc/apt/sources.list.d");
    const std::string movedConfig = paths::join(outside, "xdg-config");
    setenv("XDG_CONFIG_HOME", movedConfig.c_str(), 1);
    backup.configFolder(system, {{"vendor.list", "deb https://example.invalid stable main"}})
        .configFile(paths::join(movedConfig, "git/config"), "[user]")
        .configFile(home(".bashrc"), "b");
    backup.save();

    engine.privileged = false;
    for (bool dry : {true, false}) {
        SCOPED_TRACE(dry ? "dry run" : "restore");
        auto outcomes =
            engine.restoreConfig(dir, std::nullopt, ConflictPolicy::writeBeside, snapshot, std::nullopt, dry);
        ASSERT_EQ(outcomes.size(), 3u);
        EXPECT_TRUE(outcomes[0].needsRoot);
        EXPECT_EQ(outcomes[0].action, Action::skipped);
        EXPECT_FALSE(outcomes[0].writtenPath);
        EXPECT_FALSE(outcomes[1].needsRoot);
        EXPECT_FALSE(outcomes[2].needsRoot);
        EXPECT_EQ(summarize(outcomes, "config", dry),
                  std::string(dry ? "Would restore" : "Restored") + " 2 config file(s) \u00b7 1 skipped (needs root)");
        EXPECT_EQ(nlohmann::json(outcomes[0]).value("needsRoot", false), true);
        EXPECT_EQ(nlohmann::json(outcomes[0]).get<RestoreOutcome>(), outcomes[0]);
        EXPECT_FALSE(present(paths::join(outside, "etc")));
    }
    EXPECT_EQ(slurp(home(".bashrc")), "b");
    EXPECT_EQ(slurp(paths::join(movedConfig, "git/config")), "[user]");

    // A prefix is a place the user chose: nothing there needs root.
    const std::string prefix = paths::join(outside, "scratch");
    auto prefixed = engine.restoreConfig(dir, std::set<std::string>{system}, ConflictPolicy::overwrite, std::nullopt,
                                         prefix, false);
    ASSERT_EQ(prefixed.size(), 1u);
    EXPECT_FALSE(prefixed[0].needsRoot);
    EXPECT_EQ(slurp(paths::join(prefix, paths::relativeForm(system) + "/vendor.list")),
              "deb https://example.invalid stable main");

    engine.privileged = true;
    auto asRoot = engine.restoreConfig(dir, std::set<std::string>{system}, ConflictPolicy::overwrite, std::nullopt,
                                       std::nullopt, false);
    ASSERT_EQ(asRoot.size(), 1u);
    EXPECT_FALSE(asRoot[0].needsRoot);
    EXPECT_EQ(slurp(paths::join(system, "vendor.list")), "deb https://example.invalid stable main");
}

TEST(HomeMappingRules, MovesOnlyPathsUnderTheRecordedHome) {
    HomeMapping map("/Users/alice/", "/home/bob");
    EXPECT_TRUE(map.active());
    EXPECT_EQ(map("/Users/alice"), "/home/bob");
    EXPECT_EQ(map("/Users/alice/.ssh/id"), "/home/bob/.ssh/id");
    EXPECT_EQ(map("/Users/alicex/.ssh/id"), "/Users/alicex/.ssh/id");
    EXPECT_EQ(map("/etc/hosts"), "/etc/hosts");
    EXPECT_FALSE(HomeMapping("/home/bob", "/home/bob/").active());
    EXPECT_FALSE(HomeMapping(std::nullopt, "/home/bob").active());
    EXPECT_FALSE(HomeMapping("/", "/home/bob").active());
}

// ---- Projects --------------------------------------------------------------------------------

TEST_F(RestoreEngineTest, ProjectDestinationsRedirectAndDryRunsWriteNothing) {
    backup.project(home("Development/app"), {{"a.txt", "a"}});
    backup.save();
    const std::string moved = paths::join(outside, "work/app");
    RestoreDestinations destinations = std::map<std::string, std::string>{{home("Development/app"), moved}};
    auto dry = engine.restoreProjects(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, destinations,
                                      std::nullopt, true);
    ASSERT_EQ(dry.size(), 1u);
    EXPECT_EQ(dry[0].writtenPath, moved);
    ASSERT_EQ(dry[0].files.size(), 1u);
    EXPECT_EQ(dry[0].files[0].writtenPath, paths::join(moved, "a.txt"));
    EXPECT_EQ(writeCalls(), 0);
    EXPECT_FALSE(present(moved));

    engine.restoreProjects(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, destinations, std::nullopt, false);
    EXPECT_EQ(slurp(paths::join(moved, "a.txt")), "a");
    EXPECT_FALSE(present(home("Development/app")));
}

TEST_F(RestoreEngineTest, ManifestWithoutProjectsRestoresNone) {
    backup.configFile(home(".a"), "a");
    backup.save();
    EXPECT_TRUE(
        engine
            .restoreProjects(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, std::nullopt, false)
            .empty());
}

// ---- Failures while writing --------------------------------------------------------------------

TEST_F(RestoreEngineTest, FirstFailingWriteEndsTheOperationAndKeepsEarlierFiles) {
    backup.configFile(home(".a"), "a").configFile(home(".b"), "b").configFile(home(".c"), "c");
    backup.save();
    faulty->failOn(Op::write, 2);
    try {
        engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, std::nullopt, std::nullopt, false);
        FAIL();
    } catch (const BackupError& e) {
        EXPECT_EQ(e.message(), "could not write " + home(".b"));
    }
    EXPECT_EQ(slurp(home(".a")), "a");
    EXPECT_FALSE(present(home(".b")));
    EXPECT_FALSE(present(home(".c")));
    EXPECT_EQ(faulty->calls(Op::write), 2);
}

TEST_F(RestoreEngineTest, FailingWriteInsideAMergeEndsTheOperation) {
    backup.project(home("Development/app"), {{"a", "1"}, {"b", "2"}, {"c", "3"}});
    backup.project(home("Development/zz"), {{"z", "z"}});
    backup.save();
    fs::create_directories(home("Development/app"));
    faulty->failOn(Op::write, 2, std::make_exception_ptr(BackupError::io("disk full")));
    try {
        engine.restoreProjects(dir, std::nullopt, ConflictPolicy::overwrite, std::nullopt, std::nullopt, std::nullopt,
                               false);
        FAIL();
    } catch (const BackupError& e) {
        EXPECT_EQ(std::string(e.what()), "I/O error: disk full");
    }
    EXPECT_EQ(faulty->calls(Op::write), 2);
    EXPECT_FALSE(present(home("Development/zz")));
}

TEST_F(RestoreEngineTest, AFailedSavedCopyStopsThatFilesOverwrite) {
    const SymmetricKey key = fixedKey();
    backup.configFile(home(".zshrc"), "backup").configFile(home(".vimrc"), "vim");
    backup.project(home("Development/app"), {{"main.c", "backup main"}});
    backup.secrets({secret(home(".netrc"), "backup netrc")}, KeySource::rawKey(key));
    backup.save();
    const std::string elsewhere = paths::join(outside, "elsewhere");
    // Ways a save can fail: the disk, a link planted where the run folder or the snapshot goes.
    const std::vector<std::pair<std::string, std::function<void()>>> faults = {
        {"could not", [&] { writeFile(paths::join(snapshot, kRun), "a file where the run folder goes"); }},
        {"will not write through the link",
         [&] { fs::create_directory_symlink(elsewhere, paths::join(snapshot, kRun)); }},
        {"will not write through the link",
         [&] {
             fs::remove_all(snapshot);
             fs::create_directory_symlink(elsewhere, snapshot);
         }},
    };
    for (const auto& [reason, inject] : faults) {
        SCOPED_TRACE(reason);
        fs::remove_all(snapshot);
        fs::remove_all(elsewhere);
        fs::create_directories(snapshot);
        fs::create_directories(elsewhere);
        writeFile(home(".zshrc"), "mine");
        writeFile(home("Development/app/main.c"), "my main");
        writeFile(home(".netrc"), "my netrc");
        RestoreEngine local(faulty);
        local.runName = kRun;
        inject();
        auto config = local.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
        auto projects = local.restoreProjects(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt,
                                              std::nullopt, false);
        auto secrets = local.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(key), std::nullopt,
                                            ConflictPolicy::overwrite, snapshot, std::nullopt, std::nullopt, false);
        for (const RestoreOutcome* o : {&config[0], &projects[0].files.at(0), &secrets[0]}) {
            EXPECT_EQ(o->action, Action::failed) << o->originalPath;
            EXPECT_FALSE(o->writtenPath);
            EXPECT_FALSE(o->backedUpTo);
            ASSERT_TRUE(o->error);
            EXPECT_NE(o->error->find(reason), std::string::npos) << *o->error;
        }
        EXPECT_EQ(slurp(home(".zshrc")), "mine");
        EXPECT_EQ(slurp(home("Development/app/main.c")), "my main");
        EXPECT_EQ(slurp(home(".netrc")), "my netrc");
        EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing saved through the link";
        EXPECT_EQ(config[1].action, Action::restored) << "a file with nothing to save is still written";
        EXPECT_EQ(slurp(home(".vimrc")), "vim");
        fs::remove_all(home(".vimrc"));
    }
}

TEST_F(RestoreEngineTest, RestoreNeverCreatesALinkNorWritesThroughOne) {
    const std::string elsewhere = paths::join(outside, "elsewhere");
    const std::string prefix = paths::join(outside, "scratch");
    // A tree holding a link to a folder outside, and a later entry that would write through it.
    backup.configFolder(home(".config/tool"), {{"a.conf", "a"}});
    fs::create_directory_symlink(elsewhere, paths::join(dir, "config/home/.config/tool/out"));
    backup.manifest.configs.push_back({home(".config/tool/out/x"), "config/home/x"});
    writeFile(paths::join(dir, "config/home/x"), "through the link");
    backup.save();

    auto linksUnder = [](const std::string& root) {
        int links = 0;
        if (present(root))
            for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
                links += it->is_symlink() ? 1 : 0;
        return links;
    };
    for (ConflictPolicy policy : allConflictPolicies())
        for (const std::optional<std::string>& where : {std::optional<std::string>(), std::optional(prefix)}) {
            SCOPED_TRACE(toString(policy) + (where ? " with prefix" : ""));
            fs::remove_all(home(".config"));
            fs::remove_all(prefix);
            fs::create_directories(elsewhere);
            const std::string base = where ? paths::join(*where, paths::relativeForm(temp.path())) : temp.path();
            // A file where the tree goes makes writeBeside put the whole tree beside it.
            writeFile(paths::join(base, ".config/tool"), "a file in the way");
            auto outcomes = engine.restoreConfig(dir, std::nullopt, policy, snapshot, where, false);
            ASSERT_EQ(outcomes.size(), 2u);
            if (policy == ConflictPolicy::writeBeside) {
                EXPECT_EQ(slurp(paths::join(base, ".config/tool.stowage-restored/a.conf")), "a");
            }
            EXPECT_EQ(linksUnder(temp.path()), 0);
            EXPECT_EQ(linksUnder(prefix), 0);
            EXPECT_TRUE(fs::is_empty(elsewhere));
        }

    // Under a prefix, a link already there is not followed either.
    fs::remove_all(prefix);
    fs::create_directories(paths::join(prefix, paths::relativeForm(temp.path())));
    fs::create_directory_symlink(elsewhere, paths::join(prefix, paths::relativeForm(temp.path()) + "/.config"));
    try {
        engine.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, prefix, false);
        FAIL();
    } catch (const BackupError& e) {
        EXPECT_EQ(e.message(),
                  "will not write through the link " + paths::join(prefix, paths::relativeForm(home(".config"))));
    }
    const SymmetricKey key = fixedKey();
    backup.secrets({secret(home(".config/gh/hosts.yml"), "token")}, KeySource::rawKey(key));
    backup.save();
    EXPECT_THROW(engine.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(key), std::nullopt,
                                       ConflictPolicy::overwrite, snapshot, std::nullopt, prefix, false),
                 BackupError);
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

/// A full restore (config files and folders, a project, secrets) over a home that holds older
/// versions, with each mutating call in turn failing with each of ENOSPC, EIO and EACCES, before the
/// call takes effect or after it. Every run ends with the failure's error or returns; every target
/// then holds its old content or its new content whole; a file that was replaced has its old
/// content in a saved copy; and the next complete restore leaves no temporary file behind.
TEST_F(RestoreEngineTest, EveryFailedCallOfAFullRestoreLeavesEachTargetOldOrNew) {
    const SymmetricKey key = fixedKey();
    backup.configFile(home(".zshrc"), "new zshrc")
        .configFile(home(".gitconfig"), "new gitconfig", 0600)
        .configFolder(home(".config/nvim"), {{"init.lua", "new init"}, {"lua/keys.lua", "new keys"}})
        .configFolder(home(".gnupg"), {{"gpg.conf", "new gpg"}}, 0700)
        .project(home("Development/app"), {{"src/main.c", "new main"}, {"README.md", "new readme"}})
        .secrets({secret(home(".ssh/id_ed25519"), "new key", 0600), secret(home(".aws/credentials"), "new aws", 0640)},
                 KeySource::rawKey(key));
    backup.save();
    const std::map<std::string, std::pair<std::string, std::string>> files{
        {".zshrc", {"old zshrc", "new zshrc"}},
        {".gitconfig", {"old gitconfig", "new gitconfig"}},
        {".config/nvim/init.lua", {"old init", "new init"}},
        {".config/nvim/lua/keys.lua", {"", "new keys"}},
        {".gnupg/gpg.conf", {"", "new gpg"}},
        {"Development/app/src/main.c", {"old main", "new main"}},
        {"Development/app/README.md", {"", "new readme"}},
        {".ssh/id_ed25519", {"old key", "new key"}},
        {".aws/credentials", {"", "new aws"}},
    };
    auto resetHome = [&] {
        fs::remove_all(snapshot);
        for (const char* item : {".config/nvim", ".gnupg", "Development/app", ".ssh", ".aws"})
            fs::remove_all(home(item));
        for (const auto& [rel, versions] : files) {
            fs::remove_all(home(rel));
            if (!versions.first.empty())
                writeFile(home(rel), versions.first, 0600);
        }
    };
    auto restoreAll = [&](RestoreEngine& restorer) {
        restorer.restoreConfig(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, false);
        restorer.restoreProjects(dir, std::nullopt, ConflictPolicy::overwrite, snapshot, std::nullopt, std::nullopt,
                                 false);
        restorer.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(key), std::nullopt,
                                ConflictPolicy::overwrite, snapshot, std::nullopt, std::nullopt, false);
    };
    resetHome();
    auto counting = std::make_shared<FaultInjectingFileAccess>();
    RestoreEngine countingEngine(counting);
    restoreAll(countingEngine);
    ASSERT_GT(counting->calls(Op::write) + counting->calls(Op::copyItem), 8);

    std::vector<std::string> replacedWithoutSavedCopy;
    int cases = 0;
    for (Op op : {Op::write, Op::createDirectory, Op::remove, Op::copyItem})
        for (auto [reason, when] : {std::pair{std::errc::no_space_on_device, FaultInjectingFileAccess::When::before},
                                    std::pair{std::errc::permission_denied, FaultInjectingFileAccess::When::before},
                                    std::pair{std::errc::io_error, FaultInjectingFileAccess::When::before},
                                    std::pair{std::errc::io_error, FaultInjectingFileAccess::When::after}})
            for (int nth = 1; nth <= counting->calls(op); ++nth) {
                const std::string label = "call " + std::to_string(nth) + " of operation " +
                                          std::to_string(static_cast<int>(op)) + " failing with " +
                                          std::make_error_code(reason).message() +
                                          (when == FaultInjectingFileAccess::When::after ? " (after)" : "");
                ++cases;
                resetHome();
                auto failing = std::make_shared<FaultInjectingFileAccess>();
                failing->failOn(op, nth, reason, when);
                RestoreEngine restorer(failing);
                std::string error;
                try {
                    restoreAll(restorer);
                } catch (const std::exception& e) {
                    error = e.what();
                }
                ASSERT_EQ(failing->failedPaths().size(), 1u) << label;
                if (!error.empty()) {
                    EXPECT_NE(error.find(failing->failedPaths()[0]), std::string::npos) << label << ": " << error;
                }
                for (const auto& [rel, versions] : files) {
                    const std::string now = slurp(home(rel));
                    const bool isOld = versions.first.empty() ? !present(home(rel)) : now == versions.first;
                    EXPECT_TRUE(isOld || now == versions.second) << label << ": " << rel << " holds \"" << now << "\"";
                    // A saved copy of the file, or of the folder holding it, ends in the file's
                    // recorded path, whichever run folder it is kept in.
                    if (versions.first.empty() || now != versions.second)
                        continue;
                    const std::string tail = paths::relativeForm(home(rel));
                    bool saved = false;
                    for (const auto& [path, entry] : testing::treeOf(snapshot))
                        saved = saved || (path.size() >= tail.size() &&
                                          path.compare(path.size() - tail.size(), tail.size(), tail) == 0 &&
                                          entry.content == versions.first);
                    if (!saved)
                        replacedWithoutSavedCopy.push_back(label + ": " + rel);
                }
                // Only a call that took effect can leave something behind for the next run to clear.
                if (when == FaultInjectingFileAccess::When::before)
                    continue;
                RestoreEngine next(std::make_shared<DirectFileAccess>());
                restoreAll(next);
                EXPECT_EQ(testing::temporaryFilesBelow(temp.path()), std::vector<std::string>{}) << label;
                EXPECT_EQ(testing::temporaryFilesBelow(dir), std::vector<std::string>{}) << label;
            }
    EXPECT_GE(cases, 60);
    EXPECT_EQ(replacedWithoutSavedCopy, std::vector<std::string>{});
}

// ---- Secrets ---------------------------------------------------------------------------------

TEST_F(RestoreEngineTest, SecretKeySourcesInOrder) {
    const SymmetricKey key = fixedKey();
    backup.secrets({secret(home(".ssh/id_ed25519"), "PRIVATE", 0600)}, KeySource::rawKey(key));
    backup.save();
    EXPECT_FALSE(engine.secretsNeedPassphrase(dir));
    const SecretString code = BundleKey::recoveryCode(key);

    auto expectError = [&](std::optional<SecretString> pass, std::optional<SecretString> rc, const std::string& text) {
        try {
            engine.restoreSecrets(dir, pass, rc, std::nullopt, ConflictPolicy::overwrite, std::nullopt, std::nullopt,
                                  std::nullopt, false);
            ADD_FAILURE() << text;
        } catch (const BackupError& e) {
            EXPECT_EQ(std::string(e.what()), text);
        }
    };
    // No keychain key yet, no code: not valid.
    expectError(std::nullopt, std::nullopt, "Recovery code is not valid");
    expectError(std::nullopt, SecretString(""), "Recovery code is not valid");
    expectError(std::nullopt, SecretString("not base64!"), "Recovery code is not valid");
    expectError(std::nullopt, SecretString(base64::encode(Bytes(16, 1))), "Recovery code is not valid");
    expectError(std::nullopt, SecretString(base64::encode(Bytes(33, 1))), "Recovery code is not valid");
    // Another 32-byte key decodes but cannot open the bundle.
    expectError(std::nullopt, SecretString(base64::encode(Bytes(32, 9))),
                "Could not decrypt bundle \u2014 wrong key or corrupt file");
    // A passphrase is tried first, and a raw-key bundle never opens with one.
    expectError(SecretString("pass"), code, "Could not decrypt bundle \u2014 wrong key or corrupt file");
    EXPECT_EQ(writeCalls(), 0);
    EXPECT_FALSE(present(home(".ssh")));

    // The code with surrounding whitespace and a line break works.
    auto outcomes = engine.restoreSecrets(dir, SecretString(""), SecretString("  " + code.str() + "\n"), std::nullopt,
                                          ConflictPolicy::overwrite, std::nullopt, std::nullopt, std::nullopt, false);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(slurp(home(".ssh/id_ed25519")), "PRIVATE");

    // With neither, the keychain copy is used.
    ASSERT_EQ(keys->store(key), KeyStore::Status::ok);
    fs::remove_all(home(".ssh"));
    engine.restoreSecrets(dir, std::nullopt, std::nullopt, std::nullopt, ConflictPolicy::overwrite, std::nullopt,
                          std::nullopt, std::nullopt, false);
    EXPECT_EQ(slurp(home(".ssh/id_ed25519")), "PRIVATE");
}

TEST_F(RestoreEngineTest, PassphraseBundles) {
    backup.secrets({secret(home(".netrc"), "machine x", 0600)}, KeySource::passphrase(SecretString("correct horse")));
    backup.save();
    EXPECT_TRUE(engine.secretsNeedPassphrase(dir));
    try {
        engine.restoreSecrets(dir, SecretString("wrong"), std::nullopt, std::nullopt, ConflictPolicy::overwrite,
                              std::nullopt, std::nullopt, std::nullopt, false);
        FAIL();
    } catch (const BackupError& e) {
        EXPECT_EQ(e.kind(), BackupError::Kind::decryptFailed);
    }
    EXPECT_FALSE(present(home(".netrc")));
    // The passphrase is used as typed: surrounding spaces are part of it.
    EXPECT_THROW(engine.restoreSecrets(dir, SecretString(" correct horse"), std::nullopt, std::nullopt,
                                       ConflictPolicy::overwrite, std::nullopt, std::nullopt, std::nullopt, false),
                 BackupError);
    engine.restoreSecrets(dir, SecretString("correct horse"), std::nullopt, std::nullopt, ConflictPolicy::overwrite,
                          std::nullopt, std::nullopt, std::nullopt, false);
    EXPECT_EQ(slurp(home(".netrc")), "machine x");
}

TEST_F(RestoreEngineTest, SecretsKeepTheirRecordedModeUnderAPermissiveUmask) {
    UmaskScope umask(0);
    const SymmetricKey key = fixedKey();
    backup.secrets({secret(home(".ssh/id_ed25519"), "K1", 0600), secret(home(".aws/credentials"), "K2", 0640),
                    secret(home(".config/gh/hosts.yml"), "K3", 0400)},
                   KeySource::rawKey(key));
    backup.save();
    writeFile(home(".aws/credentials"), "old", 0666);
    auto outcomes = engine.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(key), std::nullopt,
                                          ConflictPolicy::overwrite, snapshot, std::nullopt, std::nullopt, false);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(modeOf(home(".ssh/id_ed25519")), 0600);
    EXPECT_EQ(modeOf(home(".aws/credentials")), 0640);
    EXPECT_EQ(modeOf(home(".config/gh/hosts.yml")), 0400);
    EXPECT_EQ(slurp(home(".aws/credentials")), "K2");
    EXPECT_EQ(outcomes[1].backedUpTo, saved(".aws/credentials"));
    // No temporary file was ever left readable beside a secret.
    for (const auto& entry : fs::directory_iterator(home(".ssh")))
        EXPECT_EQ(entry.path().filename(), "id_ed25519");
}

TEST_F(RestoreEngineTest, RedirectedSecretsAndSecretsFromAnotherHome) {
    const SymmetricKey key = fixedKey();
    BackupBuilder other(dir, "/Users/alice");
    ProjectContext ctx{"/Users/alice/dev/app", "git@github.com:o/app.git", "api/.env"};
    other.secrets(
        {secret("/Users/alice/.ssh/id_rsa", "RSA", 0600), secret("/Users/alice/dev/app/api/.env", "ENV", 0640, ctx)},
        KeySource::rawKey(key));
    other.save();
    const std::string moved = home("work/app/api/.env");
    writeFile(home(".ssh/id_rsa"), "this machine's key");
    writeFile(moved, "old env");
    RestoreDestinations destinations = std::map<std::string, std::string>{{"/Users/alice/dev/app/api/.env", moved}};

    auto dry = engine.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(key), std::nullopt,
                                     ConflictPolicy::overwrite, snapshot, destinations, std::nullopt, true);
    ASSERT_EQ(dry.size(), 2u);
    EXPECT_EQ(dry[0].diff->kind, FileDiff::Kind::modified);
    EXPECT_EQ(writeCalls(), 0);

    auto outcomes = engine.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(key), std::nullopt,
                                          ConflictPolicy::overwrite, snapshot, destinations, std::nullopt, false);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].originalPath, "/Users/alice/.ssh/id_rsa");
    EXPECT_EQ(outcomes[0].writtenPath, home(".ssh/id_rsa"));
    EXPECT_EQ(outcomes[0].backedUpTo, saved(".ssh/id_rsa"));
    EXPECT_EQ(slurp(home(".ssh/id_rsa")), "RSA");
    EXPECT_EQ(outcomes[1].originalPath, "/Users/alice/dev/app/api/.env");
    EXPECT_EQ(outcomes[1].writtenPath, moved);
    EXPECT_EQ(slurp(moved), "ENV");
    EXPECT_EQ(modeOf(moved), 0640);
    // The saved copy of a redirected file is filed under its recorded path (moved to this home).
    EXPECT_EQ(outcomes[1].backedUpTo, saved("dev/app/api/.env"));
    EXPECT_EQ(slurp(*outcomes[1].backedUpTo), "old env");
    EXPECT_FALSE(present("/Users/alice"));

    // Selection uses recorded paths.
    auto one = engine.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(key),
                                     std::set<std::string>{"/Users/alice/.ssh/id_rsa"}, ConflictPolicy::skip,
                                     std::nullopt, std::nullopt, std::nullopt, true);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].action, Action::unchanged) << "identical, so neither skipped nor written";
    EXPECT_EQ(one[0].diff->kind, FileDiff::Kind::identical);
}

TEST_F(RestoreEngineTest, UnsafeBundlePathsAreRefused) {
    const SymmetricKey key = fixedKey();
    for (const std::string& bad : {std::string("relative/x"), home("a/../../x"), std::string("/"), home("a//b")}) {
        BackupBuilder b(dir, temp.path());
        b.secrets({secret(home(".ok"), "ok"), secret(bad, "x")}, KeySource::rawKey(key));
        b.save();
        try {
            engine.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(key), std::nullopt,
                                  ConflictPolicy::overwrite, std::nullopt, std::nullopt, std::nullopt, false);
            ADD_FAILURE() << bad;
        } catch (const BackupError& e) {
            EXPECT_EQ(e.message(), "unsafe path in secrets.stowage: " + bad);
        }
    }
    // A project placement that climbs out of its repository is refused too.
    BackupBuilder b(dir, temp.path());
    b.secrets({secret(home("dev/app/.env"), "x", 0600, ProjectContext{home("dev/app"), "r", "../../.bashrc"})},
              KeySource::rawKey(key));
    b.save();
    EXPECT_THROW(engine.planRelocations(dir, std::nullopt, BundleKey::recoveryCode(key), {}, false), BackupError);
    EXPECT_EQ(writeCalls(), 0);
    EXPECT_FALSE(present(home(".ok")));
}

// ---- Relocation --------------------------------------------------------------------------------

void gitRepo(const std::string& root, const std::optional<std::string>& remote) {
    fs::create_directories(root);
    ASSERT_EQ(testing::sh("git -C '" + root + "' init -q"), 0);
    if (remote) {
        ASSERT_EQ(testing::sh("git -C '" + root + "' remote add origin '" + *remote + "'"), 0);
    }
}

TEST_F(RestoreEngineTest, PlansRelocationsAgainstRealClones) {
    const SymmetricKey key = fixedKey();
    BackupBuilder other(dir, "/Users/alice");
    const std::string remote = "git@github.com:Org/App.git";
    other.secrets({secret("/Users/alice/.ssh/id", "k"),
                   secret("/Users/alice/Development/app/services/api/.env", "E", 0600,
                          ProjectContext{"/Users/alice/Development/app", remote, "services/api/.env"}),
                   secret("/Users/alice/Development/lib/.env", "L", 0600,
                          ProjectContext{"/Users/alice/Development/lib", std::nullopt, ".env"}),
                   secret("/Users/alice/Development/gone/.env", "G", 0600,
                          ProjectContext{"/Users/alice/Development/gone", "https://example.com/o/gone", ".env"})},
                  KeySource::rawKey(key));
    other.save();
    // Two clones of the remote (one named like the recorded project), and a remoteless "lib".
    gitRepo(home("code/zz/app"), "https://github.com/org/app");
    gitRepo(home("code/aa/app-fork"), "ssh://git@github.com/org/app.git");
    gitRepo(home("code/lib"), std::nullopt);

    auto plans = engine.planRelocations(dir, std::nullopt, BundleKey::recoveryCode(key), {home("code")}, false);
    ASSERT_EQ(plans.size(), 4u);
    EXPECT_EQ(plans[0].match, RelocationPlan::Match::absolute);
    EXPECT_EQ(plans[0].destination, home(".ssh/id")) << "moved under this home";
    EXPECT_EQ(plans[1].match, RelocationPlan::Match::matchedRepo);
    EXPECT_EQ(plans[1].matchedRepoRoot, home("code/zz/app"));
    EXPECT_EQ(plans[1].destination, home("code/zz/app/services/api/.env"));
    EXPECT_EQ(plans[2].match, RelocationPlan::Match::repoNotFound);
    EXPECT_EQ(plans[3].match, RelocationPlan::Match::repoNotFound);

    auto flat = engine.planRelocations(dir, std::nullopt, BundleKey::recoveryCode(key), {"~/code"}, true);
    EXPECT_EQ(flat[1].destination, home("code/zz/app/.env"));

    // Feeding the plan into the restore puts the secret into the clone.
    RestoreDestinations destinations =
        std::map<std::string, std::string>{{plans[1].originalPath, *plans[1].destination}};
    engine.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(key), std::set<std::string>{plans[1].originalPath},
                          ConflictPolicy::overwrite, std::nullopt, destinations, std::nullopt, false);
    EXPECT_EQ(slurp(home("code/zz/app/services/api/.env")), "E");
    EXPECT_EQ(writeCalls(), 1);
}

// ---- Report ----------------------------------------------------------------------------------

TEST(RestoreSummary, CountsEachKind) {
    std::vector<RestoreOutcome> outcomes(3);
    outcomes[1].action = Action::skipped;
    EXPECT_EQ(summarize(outcomes, "config", true), "Would restore 2 config file(s) \u00b7 1 skipped (exists)");
    outcomes[0].action = Action::wroteBeside;
    outcomes[2].backedUpTo = "/s/x";
    EXPECT_EQ(summarize(outcomes, "secret", false),
              "Restored 2 secret file(s) \u00b7 1 skipped (exists) \u00b7 1 written beside \u00b7 1 prior version(s) "
              "saved");
    EXPECT_EQ(summarize({}, "project", false), "Restored 0 project file(s)");
}

} // namespace
} // namespace stowage
