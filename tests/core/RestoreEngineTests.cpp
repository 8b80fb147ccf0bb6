#include "core/RestoreEngine.hpp"

#include "core/BackupError.hpp"
#include "core/Paths.hpp"
#include "support/FaultInjectingFileAccess.hpp"
#include "support/RestoreFixtures.hpp"
#include "support/TempHome.hpp"
#include "support/Trees.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace stowage {
namespace {

namespace fs = std::filesystem;
using namespace stowage::testing;
using Action = RestoreOutcome::Action;
using Op = FaultInjectingFileAccess::Operation;
constexpr ConflictPolicy kOverwrite = ConflictPolicy::overwrite;

class RestoreEngineTest : public ::testing::Test {
protected:
    void SetUp() override { engine.runName = kRun; }

    std::string home(const std::string& rel) const { return temp / rel; }
    /// Where a run saves the copy of the file recorded at home/rel.
    std::string saved(const std::string& rel, const std::string& run = kRun) const {
        return paths::join(paths::join(snapshot, run), paths::relativeForm(home(rel)));
    }
    std::vector<RestoreOutcome> config(ConflictPolicy policy = kOverwrite, bool dry = false,
                                       const RestoreSelection& select = std::nullopt,
                                       const std::optional<std::string>& prefix = std::nullopt) {
        return engine.restoreConfig(dir, select, policy, snapshot, prefix, dry);
    }
    std::vector<RestoreOutcome> projects(ConflictPolicy policy = kOverwrite, bool dry = false,
                                         const RestoreDestinations& destinations = std::nullopt) {
        return engine.restoreProjects(dir, std::nullopt, policy, snapshot, destinations, std::nullopt, dry);
    }
    std::vector<RestoreOutcome> secrets(ConflictPolicy policy = kOverwrite, bool dry = false,
                                        const RestoreDestinations& destinations = std::nullopt,
                                        const std::optional<std::string>& prefix = std::nullopt) {
        return engine.restoreSecrets(dir, std::nullopt, BundleKey::recoveryCode(fixedKey()), std::nullopt, policy,
                                     snapshot, destinations, prefix, dry);
    }
    int writeCalls() const {
        return faulty->calls(Op::write) + faulty->calls(Op::createDirectory) + faulty->calls(Op::remove) +
               faulty->calls(Op::copyItem);
    }

    static constexpr const char* kRun = "20261206T201500Z";
    TempHome temp;
    /// Beside the home folder, so wiping the home does not touch the backup.
    std::string outside = paths::parent(temp.path());
    std::string dir = paths::join(outside, "backup");
    std::string snapshot = paths::join(dir, RestoreEngine::snapshotFolderName);
    BackupBuilder backup{dir, temp.path()};
    std::shared_ptr<FaultInjectingFileAccess> faulty = std::make_shared<FaultInjectingFileAccess>();
    RestoreEngine engine{faulty};
};

// ---- Paths read from the backup ----------------------------------------------------------------

TEST_F(RestoreEngineTest, HostilePathsInTheBackupAreRefusedBeforeAnythingIsWritten) {
    writeAt(paths::join(outside, "victim"), "secret stuff");
    temp.writeFile(".ssh/id_rsa", "private key");
    const std::string unsafe = "unsafe path in backup.json: ";
    using Edit = std::function<void(BackupManifest&)>;
    auto entry = [](std::string original, std::string stored) -> Edit {
        return [=](BackupManifest& m) { m.configs.push_back({original, stored}); };
    };
    std::vector<std::pair<std::string, Edit>> cases = {
        {unsafe + "relative/.zshrc", entry("relative/.zshrc", "config/x")},
        {unsafe + "/home/u/../../etc/x", entry("/home/u/../../etc/x", "x")},
        {unsafe + "p/../x",
         [](BackupManifest& m) {
             m.projects = std::vector<ProjectEntry>{{"/p/app", "p/../x", "app"}};
         }},
        {unsafe + "/home/u/../.ssh/id", [](BackupManifest& m) { m.secretPaths.push_back("/home/u/../.ssh/id"); }},
        {unsafe + "/home/../etc", [](BackupManifest& m) { m.homeFolder = "/home/../etc"; }},
        // A stored copy reached through a link inside the backup folder could be any file at all.
        {"symbolic link in backup folder: config/home/.evil/id_rsa",
         [&](BackupManifest& m) {
             m.configs.push_back({home(".stolen/id_rsa"), "config/home/.evil/id_rsa"});
             fs::create_directory_symlink(home(".ssh"), paths::join(dir, "config/home/.evil"));
         }},
    };
    for (const std::string& rel :
         {std::string("../victim"), std::string("config/../../victim"), std::string("/etc/passwd"),
          std::string("config//x"), std::string("config/x/"), std::string(), std::string("config/a\0b", 10)})
        cases.push_back({unsafe + rel, entry(home(".stolen"), rel)});
    for (const auto& [message, edit] : cases) {
        SCOPED_TRACE(message);
        fs::remove_all(dir);
        BackupBuilder b(dir, temp.path());
        b.configFile(home(".zshrc"), "safe");
        edit(b.manifest);
        b.save();
        try {
            config();
            ADD_FAILURE() << "accepted";
        } catch (const BackupError& e) {
            EXPECT_EQ(e.message(), message);
        }
    }
    // The bundle's recorded paths, and project placements that climb out of their repository.
    for (const std::string& bad :
         {std::string("relative/x"), home("a/../../x"), std::string("/"), home("a//b"), std::string("../../.bashrc")}) {
        fs::remove_all(dir);
        BackupBuilder b(dir, temp.path());
        b.secrets({secret(home(".ok"), "ok"),
                   bad[0] == '.' ? secret(home("app/.env"), "x", 0600, {{home("app"), "r", bad}}) : secret(bad, "x")},
                  KeySource::rawKey(fixedKey()));
        b.save();
        try {
            secrets();
            ADD_FAILURE() << bad;
        } catch (const BackupError& e) {
            EXPECT_EQ(e.message(), "unsafe path in secrets.stowage: " + bad);
        }
    }
    EXPECT_EQ(writeCalls(), 0);
    for (const char* rel : {".zshrc", ".stolen", ".ok"})
        EXPECT_FALSE(lexists(home(rel))) << rel;
}

// ---- Policies and saved copies -------------------------------------------------------------------

TEST_F(RestoreEngineTest, EachPolicyHoldsForFilesAndForEveryFileInsideFolders) {
    UmaskScope umask(0);
    backup.configFile(home(".zshrc"), "backup\n", 0600)
        .configFile(home(".vimrc"), "same\n")
        .configFolder(home(".config/nvim"), {{"init.lua", "backup\n"}, {"same.lua", "same\n"}})
        .project(home("Development/app"), {{"src/main.c", "backup\n"}, {"README", "same\n"}, {"docs/new", "new"}});
    backup.save();
    const std::vector<std::string> changed{".zshrc", ".config/nvim/init.lua", "Development/app/src/main.c"};
    const std::vector<std::string> same{".vimrc", ".config/nvim/same.lua", "Development/app/README"};
    struct Case {
        ConflictPolicy policy;
        Action action; // for each changed file
        const char* summary;
    };
    for (const Case& c :
         std::vector<Case>{{kOverwrite, Action::restored,
                            "Restored 2 config file(s) \u00b7 2 prior version(s) saved \u00b7 1 unchanged"},
                           {ConflictPolicy::skip, Action::skipped,
                            "Restored 1 config file(s) \u00b7 1 skipped (exists) \u00b7 1 unchanged"},
                           {ConflictPolicy::writeBeside, Action::wroteBeside,
                            "Restored 2 config file(s) \u00b7 1 written beside \u00b7 1 unchanged"}}) {
        SCOPED_TRACE(toString(c.policy));
        const bool replaced = c.policy == kOverwrite, beside = c.policy == ConflictPolicy::writeBeside;
        for (const std::string& path : {home(".config"), home("Development"), home(".zshrc"), snapshot})
            fs::remove_all(path);
        for (const auto& rel : changed)
            temp.writeFile(rel, "mine\n", 0644);
        for (const auto& rel : same)
            temp.writeFile(rel, "same\n", 0644);
        temp.writeFile(".zshrc.stowage-restored", "older beside copy", 0644);
        temp.writeFile("Development/app/local-only", "keep me");
        const auto before = treeOf(temp.path());

        // A dry run previews each entry, and each file inside a folder that would change, and writes nothing.
        const int calls = writeCalls();
        auto dry = projects(c.policy, true);
        std::vector<FileDiff::Kind> kinds;
        for (const auto& o : config(c.policy, true))
            kinds.push_back(o.diff.value_or(FileDiff{}).kind);
        EXPECT_EQ(kinds, (std::vector{FileDiff::Kind::modified, FileDiff::Kind::identical, FileDiff::Kind::directory}));
        ASSERT_EQ(dry.size(), 1u);
        ASSERT_EQ(dry[0].files.size(), 2u) << "the identical README is left out";
        EXPECT_EQ(dry[0].files[0].diff->kind, FileDiff::Kind::new_);
        EXPECT_EQ(dry[0].files[1].action, c.action);
        EXPECT_EQ(dry[0].files[1].diff->hunks, (std::vector<std::string>{"- mine", "+ backup", "  "}));
        EXPECT_EQ(writeCalls(), calls);

        auto outcomes = config(c.policy);
        EXPECT_EQ(summarize(outcomes, "config", false), c.summary);
        const auto project = projects(c.policy);
        outcomes.insert(outcomes.end(), project.begin(), project.end());
        EXPECT_EQ(outcomes[0].action, c.action);
        EXPECT_EQ(outcomes[1].action, Action::unchanged);
        const auto after = treeOf(temp.path());
        for (const auto& rel : same) {
            EXPECT_EQ(after.at(rel).inode, before.at(rel).inode) << rel << " was rewritten";
            EXPECT_FALSE(lexists(saved(rel))) << rel;
        }
        for (const auto& rel : changed) {
            EXPECT_EQ(slurp(home(rel)), replaced ? "backup\n" : "mine\n") << rel;
            EXPECT_EQ(slurp(home(rel) + ".stowage-restored"), beside            ? "backup\n"
                                                              : rel == ".zshrc" ? "older beside copy"
                                                                                : "")
                << rel;
            EXPECT_EQ(slurp(saved(rel)), replaced ? "mine\n" : "") << rel;
        }
        EXPECT_EQ(modeOf(home(".zshrc")), replaced ? 0600 : 0644);
        EXPECT_EQ(slurp(home("Development/app/docs/new")), "new") << "missing files are written whatever the policy";
        EXPECT_EQ(slurp(home("Development/app/local-only")), "keep me");
        EXPECT_FALSE(lexists(home("Development/app.stowage-restored")));
        EXPECT_EQ(modeOf(home(".zshrc.stowage-restored")), beside ? 0600 : 0644);
        if (replaced) {
            // Saved copies are owner-only whatever the umask, filed under the recorded path.
            EXPECT_EQ(modeOf(saved(".zshrc")), 0600);
            for (std::string folder = paths::parent(saved(".zshrc")); folder != dir; folder = paths::parent(folder))
                EXPECT_EQ(modeOf(folder), 0700) << folder;
            EXPECT_EQ(outcomes[0].backedUpTo, saved(".zshrc"));
            EXPECT_EQ(outcomes[2].backedUpTo, saved(".config/nvim"));
            EXPECT_EQ(outcomes[3].backedUpTo, saved("Development/app"));
            EXPECT_EQ(outcomes[3].files.at(1).backedUpTo, saved("Development/app/src/main.c"));
        } else {
            EXPECT_FALSE(lexists(snapshot));
        }
        EXPECT_EQ(nlohmann::json(outcomes).get<std::vector<RestoreOutcome>>(), outcomes);
    }
}

TEST_F(RestoreEngineTest, EachRunSavesIntoItsOwnFolderAndKeepsEveryEarlierCopy) {
    backup.configFile(home(".zshrc"), "backup");
    backup.save();
    EXPECT_TRUE(projects().empty()) << "a backup without projects";
    const std::string flat = paths::join(snapshot, paths::relativeForm(home(".zshrc")));
    writeAt(flat, "copy in the layout of older versions");
    writeAt(saved(".zshrc"), "copy of an earlier run");
    engine.runName = "20261206T201600Z";
    const std::set<std::string> zshrc{home(".zshrc")};
    temp.writeFile(".zshrc", "first");
    auto first = config(kOverwrite, false, zshrc);
    EXPECT_EQ(first[0].backedUpTo, saved(".zshrc", engine.runName));
    temp.writeFile(".zshrc", "second");
    auto second = config(kOverwrite, false, zshrc);
    EXPECT_EQ(second[0].backedUpTo, *first[0].backedUpTo + ".2");
    EXPECT_EQ(slurp(*first[0].backedUpTo), "first");
    EXPECT_EQ(slurp(*second[0].backedUpTo), "second");
    EXPECT_EQ(slurp(saved(".zshrc")), "copy of an earlier run");
    EXPECT_EQ(slurp(flat), "copy in the layout of older versions");
}

TEST_F(RestoreEngineTest, AFileWhoseSavedCopyFailsIsLeftAsItIs) {
    backup.configFile(home(".zshrc"), "backup").configFile(home(".vimrc"), "vim");
    backup.project(home("Development/app"), {{"main.c", "backup main"}});
    backup.save();
    const std::string elsewhere = paths::join(outside, "elsewhere");
    const std::vector<std::pair<std::string, std::function<void()>>> faults = {
        {"could not", [&] { writeAt(paths::join(snapshot, kRun), "a file where the run folder goes"); }},
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
        for (const std::string& path : {snapshot, elsewhere, home(".vimrc")})
            fs::remove_all(path);
        fs::create_directories(snapshot);
        fs::create_directories(elsewhere);
        temp.writeFile(".zshrc", "mine");
        temp.writeFile("Development/app/main.c", "my main");
        inject();
        auto outcomes = config();
        auto project = projects();
        for (const RestoreOutcome* o : {&outcomes[0], &project[0].files.at(0)}) {
            EXPECT_EQ(o->action, Action::failed) << o->originalPath;
            EXPECT_FALSE(o->writtenPath);
            EXPECT_FALSE(o->backedUpTo);
            EXPECT_NE(o->error.value_or("").find(reason), std::string::npos) << o->error.value_or("");
        }
        EXPECT_EQ(slurp(home(".zshrc")), "mine");
        EXPECT_EQ(slurp(home("Development/app/main.c")), "my main");
        EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing saved through the link";
        EXPECT_EQ(outcomes[1].action, Action::restored) << "a file with nothing to save is still written";
    }
}

// ---- Links -------------------------------------------------------------------------------------

TEST_F(RestoreEngineTest, NoLinkIsEverCreatedOrFollowedButTheUsersOwn) {
    const std::string elsewhere = paths::join(outside, "elsewhere");
    const std::string prefix = paths::join(outside, "scratch");
    writeAt(paths::join(outside, "victim"), "not in the backup");
    // A stored tree holding links to a file and a folder outside, and a later entry below the link.
    backup.configFolder(home(".config/tool"), {{"a.conf", "a"}});
    fs::create_directory_symlink(elsewhere, paths::join(dir, "config/home/.config/tool/out"));
    fs::create_symlink(paths::join(outside, "victim"), paths::join(dir, "config/home/.config/tool/link"));
    backup.manifest.configs.push_back({home(".config/tool/out/x"), "config/home/x"});
    writeAt(paths::join(dir, "config/home/x"), "through the link");
    backup.configFolder(home(".config/nvim"), {{"init.lua", "backup init"}});
    backup.secrets({secret(home(".config/gh/hosts.yml"), "token")}, KeySource::rawKey(fixedKey()));
    backup.save();
    auto linksUnder = [](const std::string& root) {
        int links = 0;
        for (const auto& [path, entry] : treeOf(root))
            links += entry.type == "link" ? 1 : 0;
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
            writeAt(paths::join(base, ".config/tool"), "a file in the way");
            auto outcomes = config(policy, false, std::nullopt, where);
            ASSERT_EQ(outcomes.size(), 3u);
            EXPECT_EQ(slurp(paths::join(base, ".config/tool.stowage-restored/a.conf")),
                      policy == ConflictPolicy::writeBeside ? "a" : "");
            EXPECT_EQ(linksUnder(temp.path()) + linksUnder(prefix), 0);
            EXPECT_TRUE(fs::is_empty(elsewhere));
        }

    // A link the user made is written through, and its content, not the link, is saved.
    fs::remove_all(home(".config"));
    temp.writeFile("dotfiles/nvim/init.lua", "dotfiles init");
    temp.writeFile("dotfiles/nvim/extra.lua", "extra");
    fs::create_directories(home(".config"));
    fs::create_directory_symlink(home("dotfiles/nvim"), home(".config/nvim"));
    auto linked = config(kOverwrite, false, std::set<std::string>{home(".config/nvim")});
    EXPECT_TRUE(fs::is_symlink(home(".config/nvim")));
    EXPECT_EQ(slurp(home("dotfiles/nvim/init.lua")), "backup init");
    EXPECT_EQ(slurp(home("dotfiles/nvim/extra.lua")), "extra");
    EXPECT_EQ(treeOf(*linked[0].backedUpTo).at("init.lua").content, "dotfiles init");

    // Under a prefix, a link already there is never followed.
    fs::remove_all(prefix);
    fs::create_directories(paths::join(prefix, paths::relativeForm(temp.path())));
    fs::create_directory_symlink(elsewhere, paths::join(prefix, paths::relativeForm(home(".config"))));
    try {
        config(kOverwrite, false, std::nullopt, prefix);
        ADD_FAILURE();
    } catch (const BackupError& e) {
        EXPECT_EQ(e.message(),
                  "will not write through the link " + paths::join(prefix, paths::relativeForm(home(".config"))));
    }
    EXPECT_THROW(secrets(kOverwrite, false, std::nullopt, prefix), BackupError);
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

// ---- Partial failures ----------------------------------------------------------------------------

TEST_F(RestoreEngineTest, TheFirstFailingWriteEndsTheCallAndEarlierFilesStay) {
    backup.configFile(home(".a"), "a").configFile(home(".b"), "b").configFile(home(".c"), "c");
    backup.project(home("Development/app"), {{"a", "1"}, {"b", "2"}}).project(home("Development/zz"), {{"z", "z"}});
    backup.save();
    faulty->failOn(Op::write, 2);
    try {
        config();
        ADD_FAILURE();
    } catch (const BackupError& e) {
        EXPECT_EQ(e.message(), "could not write " + home(".b"));
    }
    EXPECT_EQ(slurp(home(".a")) + slurp(home(".b")) + slurp(home(".c")), "a");
    // Inside a merge too.
    faulty->failOn(Op::write, 4);
    EXPECT_THROW(projects(), BackupError);
    EXPECT_EQ(slurp(home("Development/app/a")) + slurp(home("Development/zz/z")), "1");
}

/// A full restore over a home holding older versions, with each mutating call in turn failing with
/// ENOSPC, EACCES or EIO, before the call takes effect or after it: every run ends with the
/// failure's error or returns; every target then holds its old content or its new content whole; a
/// replaced file has its old content in a saved copy; and the next complete restore leaves no
/// temporary file behind.
TEST_F(RestoreEngineTest, EveryFailedCallOfAFullRestoreLeavesEachTargetOldOrNew) {
    backup.configFile(home(".zshrc"), "new zshrc")
        .configFile(home(".gitconfig"), "new gitconfig", 0600)
        .configFolder(home(".config/nvim"), {{"init.lua", "new init"}, {"lua/keys.lua", "new keys"}})
        .configFolder(home(".gnupg"), {{"gpg.conf", "new gpg"}}, 0700)
        .project(home("Development/app"), {{"src/main.c", "new main"}, {"README.md", "new readme"}})
        .secrets({secret(home(".ssh/id_ed25519"), "new key", 0600), secret(home(".aws/credentials"), "new aws", 0640)},
                 KeySource::rawKey(fixedKey()));
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
        for (const char* item : {".config/nvim", ".gnupg", "Development/app", ".ssh", ".aws", ".zshrc", ".gitconfig"})
            fs::remove_all(home(item));
        for (const auto& [rel, versions] : files)
            if (!versions.first.empty())
                temp.writeFile(rel, versions.first, 0600);
    };
    auto restoreAll = [&](const FileAccessPtr& access) {
        engine.access = access;
        config();
        projects();
        secrets();
    };
    resetHome();
    auto counting = std::make_shared<FaultInjectingFileAccess>();
    restoreAll(counting);
    ASSERT_GT(counting->calls(Op::write) + counting->calls(Op::copyItem), 8);

    std::vector<std::string> replacedWithoutSavedCopy;
    int cases = 0;
    using When = FaultInjectingFileAccess::When;
    for (Op op : {Op::write, Op::createDirectory, Op::remove, Op::copyItem})
        for (auto [reason, when] :
             {std::pair{std::errc::no_space_on_device, When::before},
              std::pair{std::errc::permission_denied, When::before}, std::pair{std::errc::io_error, When::before},
              std::pair{std::errc::io_error, When::after}})
            for (int nth = 1; nth <= counting->calls(op); ++nth) {
                const std::string label =
                    "call " + std::to_string(nth) + " of operation " + std::to_string(static_cast<int>(op)) +
                    " failing with " + std::make_error_code(reason).message() + (when == When::after ? " (after)" : "");
                ++cases;
                resetHome();
                auto failing = std::make_shared<FaultInjectingFileAccess>();
                failing->failOn(op, nth, reason, when);
                std::string error;
                try {
                    restoreAll(failing);
                } catch (const std::exception& e) {
                    error = e.what();
                }
                ASSERT_EQ(failing->failedPaths().size(), 1u) << label;
                EXPECT_TRUE(error.empty() || error.find(failing->failedPaths()[0]) != std::string::npos)
                    << label << ": " << error;
                std::set<std::string> savedContents; // each old content is unique to its file
                for (const auto& [path, entry] : treeOf(snapshot))
                    savedContents.insert(entry.content);
                for (const auto& [rel, versions] : files) {
                    const std::string now = slurp(home(rel));
                    const bool isOld = versions.first.empty() ? !lexists(home(rel)) : now == versions.first;
                    EXPECT_TRUE(isOld || now == versions.second) << label << ": " << rel << " holds \"" << now << "\"";
                    if (!versions.first.empty() && now == versions.second && !savedContents.count(versions.first))
                        replacedWithoutSavedCopy.push_back(label + ": " + rel);
                }
                // Only a call that took effect can leave something behind for the next run to clear.
                if (when == When::before)
                    continue;
                restoreAll(std::make_shared<DirectFileAccess>());
                EXPECT_EQ(temporaryFilesBelow(temp.path()), std::vector<std::string>{}) << label;
                EXPECT_EQ(temporaryFilesBelow(dir), std::vector<std::string>{}) << label;
            }
    EXPECT_GE(cases, 60);
    EXPECT_EQ(replacedWithoutSavedCopy, std::vector<std::string>{});
}

// ---- Where things go -----------------------------------------------------------------------------

TEST(HomeMappingRules, MovesOnlyPathsUnderTheRecordedHome) {
    HomeMapping map("/Users/alice/", "/home/bob");
    EXPECT_EQ(map("/Users/alice"), "/home/bob");
    EXPECT_EQ(map("/Users/alice/.ssh/id"), "/home/bob/.ssh/id");
    EXPECT_EQ(map("/Users/alicex/.ssh/id"), "/Users/alicex/.ssh/id");
    for (const auto& recorded :
         {std::optional<std::string>("/home/bob"), std::optional<std::string>("/"), std::optional<std::string>()})
        EXPECT_FALSE(HomeMapping(recorded, "/home/bob/").active());
}

TEST_F(RestoreEngineTest, TargetsFollowThisHomeFolderDestinationsThePrefixAndRoot) {
    const std::string system = paths::join(outside, "etc/apt/sources.list.d");
    const std::string movedConfig = paths::join(outside, "xdg-config");
    setenv("XDG_CONFIG_HOME", movedConfig.c_str(), 1);
    const std::string moved = home("work/app/api/.env");
    const std::string prefix = paths::join(outside, "scratch");
    BackupBuilder other(dir, "/Users/alice");
    other.configFile("/Users/alice/.zshrc", "alice zshrc")
        .configFolder("/Users/alice/.config/git", {{"config", "[user]"}})
        .configFile(paths::join(movedConfig, "fish/config.fish"), "set x")
        .configFolder(system, {{"vendor.list", "deb stable"}})
        .project("/Users/alice/Development/app", {{"main.c", "int main;"}})
        .secrets({secret("/Users/alice/.ssh/id_rsa", "RSA"),
                  secret("/Users/alice/dev/app/api/.env", "ENV", 0640, {{"/Users/alice/dev/app", "r", "api/.env"}})},
                 KeySource::rawKey(fixedKey()));
    other.save();
    temp.writeFile(".zshrc", "this machine's zshrc");
    temp.writeFile(".ssh/id_rsa", "this machine's key");
    writeAt(moved, "old env");

    engine.privileged = false;
    for (bool dry : {true, false}) {
        SCOPED_TRACE(dry ? "dry run" : "restore");
        auto outcomes = config(kOverwrite, dry);
        ASSERT_EQ(outcomes.size(), 4u);
        EXPECT_EQ(outcomes[0].originalPath, "/Users/alice/.zshrc");
        EXPECT_EQ(outcomes[0].writtenPath, home(".zshrc"));
        EXPECT_TRUE(outcomes[3].needsRoot) << "a system file is never attempted without root";
        EXPECT_EQ(summarize(outcomes, "config", dry), std::string(dry ? "Would restore" : "Restored") +
                                                          " 3 config file(s) \u00b7 1 skipped (needs root)" +
                                                          (dry ? "" : " \u00b7 1 prior version(s) saved"));
        EXPECT_FALSE(lexists(paths::join(outside, "etc")));
    }
    EXPECT_EQ(slurp(home(".zshrc")), "alice zshrc");
    EXPECT_EQ(slurp(saved(".zshrc")), "this machine's zshrc");
    EXPECT_EQ(slurp(home(".config/git/config")), "[user]");
    EXPECT_EQ(slurp(paths::join(movedConfig, "fish/config.fish")), "set x");

    // Project and secret destinations redirect; saved copies keep the recorded path (moved here).
    const std::string elsewhere = paths::join(outside, "work/app");
    auto project =
        projects(kOverwrite, false, std::map<std::string, std::string>{{"/Users/alice/Development/app", elsewhere}});
    EXPECT_EQ(project.at(0).writtenPath, elsewhere);
    EXPECT_EQ(slurp(paths::join(elsewhere, "main.c")), "int main;");
    auto keys =
        secrets(kOverwrite, false, std::map<std::string, std::string>{{"/Users/alice/dev/app/api/.env", moved}});
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].backedUpTo, saved(".ssh/id_rsa"));
    EXPECT_EQ(slurp(home(".ssh/id_rsa")), "RSA");
    EXPECT_EQ(keys[1].originalPath, "/Users/alice/dev/app/api/.env");
    EXPECT_EQ(keys[1].writtenPath, moved);
    EXPECT_EQ(modeOf(moved), 0640);
    EXPECT_EQ(keys[1].backedUpTo, saved("dev/app/api/.env"));
    EXPECT_FALSE(lexists("/Users/alice"));
    // A plan shows where a file that is not project-scoped will really go.
    auto plans = engine.planRelocations(dir, std::nullopt, BundleKey::recoveryCode(fixedKey()), {}, false);
    EXPECT_EQ(plans.at(0).destination, home(".ssh/id_rsa"));

    // A prefix roots the moved path, and nothing under it needs root.
    auto prefixed = config(kOverwrite, false, std::set<std::string>{system, "/Users/alice/.zshrc"}, prefix);
    EXPECT_EQ(prefixed[0].writtenPath, paths::join(prefix, paths::relativeForm(home(".zshrc"))));
    EXPECT_EQ(slurp(paths::join(prefix, paths::relativeForm(system) + "/vendor.list")), "deb stable");
    engine.privileged = true;
    config(kOverwrite, false, std::set<std::string>{system});
    EXPECT_EQ(slurp(paths::join(system, "vendor.list")), "deb stable");
}

} // namespace
} // namespace stowage
