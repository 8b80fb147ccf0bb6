#include "core/DefaultKnowledgeBase.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

using namespace stowage;

namespace {

// The catalog as published, written with raw values and escaped non-ASCII characters so that this table
// is independent of the enum spellings and the source encoding of the catalog itself.
struct ExpectedRule {
    const char* id;
    const char* title;
    const char* category;
    const char* tier;
    int risk;
    bool sensitive;
    const char* kind;
    std::vector<std::string> paths;
    const char* detail;
    const char* recovery;
};

const std::vector<ExpectedRule>& expectedCatalog() {
    static const std::vector<ExpectedRule> table = {
        {"ssh-keys",
         "SSH private keys",
         "SSH",
         "secret",
         4,
         true,
         "paths",
         {"~/.ssh/id_*", "~/.ssh/*.pem", "~/.ssh/*_rsa", "~/.ssh/*_ed25519"},
         "Private keys for git push, server access, and deploys.",
         "Regenerate keypairs and re-register the public key on every host/service (GitHub, GitLab, servers). Hours of "
         "work and you must track down every place the old key was authorized."},
        {"ssh-config",
         "SSH client config & known hosts",
         "SSH",
         "secret",
         3,
         true,
         "paths",
         {"~/.ssh/config", "~/.ssh/known_hosts", "~/.ssh/authorized_keys"},
         "Host aliases, jump hosts, per-host key mappings.",
         "Rebuild host entries by hand from memory."},
        {"gpg-keys",
         "GPG secret keys",
         "GPG",
         "secret",
         4,
         true,
         "paths",
         {"~/.gnupg/private-keys-v1.d/*", "~/.gnupg/secring.gpg"},
         "Used for signed commits and encrypted secrets.",
         "If lost, anything encrypted only to this key is unrecoverable. New key means re-establishing trust "
         "everywhere."},
        {"aws-credentials",
         "AWS credentials",
         "Cloud",
         "secret",
         4,
         true,
         "paths",
         {"~/.aws/credentials", "~/.aws/config"},
         "Access keys / SSO profiles for AWS CLI and SDKs.",
         "Reissue access keys in IAM and update every profile."},
        {"gcloud-creds",
         "Google Cloud credentials",
         "Cloud",
         "secret",
         3,
         true,
         "paths",
         {"~/.config/gcloud/credentials.db", "~/.config/gcloud/access_tokens.db",
          "~/.config/gcloud/application_default_credentials.json"},
         "gcloud auth + application default credentials.",
         "Re-run `gcloud auth login` and `gcloud auth application-default login`."},
        {"azure-creds",
         "Azure CLI credentials",
         "Cloud",
         "secret",
         3,
         true,
         "paths",
         {"~/.azure/accessTokens.json", "~/.azure/azureProfile.json"},
         "Azure CLI auth tokens and subscription profile.",
         "Re-run `az login`."},
        {"kube-config",
         "Kubernetes config",
         "Cloud",
         "secret",
         3,
         true,
         "paths",
         {"~/.kube/config"},
         "Cluster endpoints, certs, and tokens for kubectl.",
         "Re-fetch kubeconfig from each cluster provider."},
        {"npmrc",
         "npm auth token",
         "Package registries",
         "secret",
         3,
         true,
         "paths",
         {"~/.npmrc"},
         "Auth token for private npm registries.",
         "Re-run `npm login` or regenerate the token."},
        {"pypirc",
         "PyPI / pip credentials",
         "Package registries",
         "secret",
         2,
         true,
         "paths",
         {"~/.pypirc", "~/.config/pip/pip.conf"},
         "Upload tokens and private index config.",
         "Regenerate the PyPI token."},
        {"cargo-creds",
         "Cargo (crate registry) credentials",
         "Package registries",
         "secret",
         2,
         true,
         "paths",
         {"~/.cargo/credentials", "~/.cargo/credentials.toml"},
         "The Rust crate registry publish token.",
         "Re-run `cargo login`."},
        {"docker-config",
         "Docker registry auth",
         "Package registries",
         "secret",
         2,
         true,
         "paths",
         {"~/.docker/config.json"},
         "Saved logins for Docker Hub / private registries.",
         "Re-run `docker login` for each registry."},
        {"netrc",
         ".netrc credentials",
         "Secrets",
         "secret",
         3,
         true,
         "paths",
         {"~/.netrc"},
         "Plaintext machine logins used by curl, git, and others.",
         "Rebuild by hand \u2014 often the only copy of some tokens."},
        {"apple-signing",
         "Apple signing keys & provisioning profiles",
         "Apple",
         "secret",
         4,
         true,
         "paths",
         {"~/Development/*.p8", "~/.appstoreconnect/private_keys/*.p8",
          "~/Library/MobileDevice/Provisioning Profiles/*"},
         "App Store Connect API keys (.p8) and provisioning profiles. A .p8 can be downloaded only once.",
         "App Store Connect API keys cannot be re-downloaded \u2014 you must revoke and create a new one, then update "
         "all CI/CD that used it."},
        {"env-files",
         "Project .env files",
         "Secrets",
         "secret",
         3,
         true,
         "envFiles",
         {},
         "Per-project secrets (DB URLs, API keys) that live only on disk and are usually git-ignored.",
         "Reconstruct each project's secrets from memory, teammates, or provider dashboards \u2014 often the most "
         "painful loss."},
        {"gh-cli-auth",
         "GitHub CLI auth",
         "Cloud",
         "secret",
         3,
         true,
         "paths",
         {"~/.config/gh/hosts.yml"},
         "OAuth token for `gh` \u2014 can push, open PRs, and read private repos.",
         "Re-run `gh auth login`."},
        {"terraform-creds",
         "Terraform / HCP credentials",
         "Cloud",
         "secret",
         3,
         true,
         "paths",
         {"~/.terraformrc", "~/.terraform.d/credentials.tfrc.json"},
         "Terraform Cloud / private registry tokens.",
         "Re-run `terraform login` and regenerate the token."},
        {"vault-token",
         "HashiCorp Vault token",
         "Secrets",
         "secret",
         2,
         true,
         "paths",
         {"~/.vault-token"},
         "Cached Vault auth token.",
         "Re-authenticate with `vault login`."},
        {"sops-age-keys",
         "age / SOPS encryption keys",
         "Secrets",
         "secret",
         4,
         true,
         "paths",
         {"~/.config/sops/age/keys.txt", "~/Library/Application Support/age/keys.txt", "~/.age/key.txt"},
         "Private keys that decrypt SOPS/age-encrypted secrets in your repos.",
         "If lost, anything encrypted only to this key is unrecoverable \u2014 rotate and re-encrypt every secret."},
        {"pgpass",
         "PostgreSQL / MySQL passwords",
         "Databases",
         "secret",
         2,
         true,
         "paths",
         {"~/.pgpass", "~/.my.cnf", "~/.mylogin.cnf"},
         "Plaintext DB passwords used by psql/mysql clients.",
         "Look up or reset each database password."},
        {"cloud-cli-tokens",
         "Cloud platform CLI tokens",
         "Cloud",
         "secret",
         3,
         true,
         "paths",
         {"~/.config/doctl/config.yaml", "~/.fly/config.yml", "~/.config/stripe/config.toml", "~/.netlify/config.json",
          "~/.config/gcloud/legacy_credentials/*"},
         "Auth tokens for DigitalOcean, Fly, Stripe, Netlify, and similar CLIs.",
         "Re-authenticate each CLI (doctl auth, fly auth, stripe login, netlify login)."},
        {"registry-publish-tokens",
         "Package publish credentials",
         "Package registries",
         "secret",
         2,
         true,
         "paths",
         {"~/.gem/credentials", "~/.composer/auth.json", "~/.config/composer/auth.json", "~/.gradle/gradle.properties",
          "~/.m2/settings.xml"},
         "RubyGems, Composer, Gradle signing, and Maven publish credentials.",
         "Regenerate each registry token / re-enter signing keys."},
        {"ml-api-tokens",
         "ML / AI service tokens",
         "Secrets",
         "secret",
         2,
         true,
         "paths",
         {"~/.huggingface/token", "~/.cache/huggingface/token", "~/.kaggle/kaggle.json", "~/.wandb/settings"},
         "Hugging Face, Kaggle, and Weights & Biases API tokens.",
         "Regenerate each token from the provider's dashboard."},
        {"mkcert-ca",
         "Local dev CA (mkcert)",
         "Secrets",
         "secret",
         3,
         true,
         "paths",
         {"~/Library/Application Support/mkcert", "~/.local/share/mkcert"},
         "The mkcert root CA \u2014 its private key can mint browser-trusted certs for any local domain.",
         "Re-run `mkcert -install` for a new CA, then regenerate every local cert it signed."},
        {"pass-store",
         "pass password store",
         "Secrets",
         "secret",
         3,
         true,
         "paths",
         {"~/.password-store"},
         "Your `pass` vault of GPG-encrypted passwords. Worthless without the matching GPG key \u2014 back that up "
         "too.",
         "Unrecoverable without both the store and the GPG private key; otherwise reset each password by hand."},
        {"git-config",
         "Global git config",
         "Git",
         "config",
         2,
         false,
         "paths",
         {"~/.gitconfig", "~/.config/git/config", "~/.gitignore_global"},
         "Identity, aliases, signing settings, global ignore.",
         "Rebuild aliases and settings by hand."},
        {"shell-config",
         "Shell configuration",
         "Shell",
         "config",
         2,
         false,
         "paths",
         {"~/.zshrc", "~/.zprofile", "~/.zshenv", "~/.bashrc", "~/.bash_profile", "~/.profile",
          "~/.config/starship.toml"},
         "PATH, env vars, aliases, prompt \u2014 your whole terminal muscle memory.",
         "Rebuild dotfiles incrementally as you hit missing aliases."},
        {"vscode-settings",
         "VS Code settings & keybindings",
         "Editors",
         "config",
         1,
         false,
         "paths",
         {"~/Library/Application Support/Code/User/settings.json",
          "~/Library/Application Support/Code/User/keybindings.json",
          "~/Library/Application Support/Code/User/snippets"},
         "Editor prefs, keybindings, snippets. (Extensions list is reproducible.)",
         "Re-tweak settings; reinstall extensions from a saved list."},
        {"jetbrains-settings",
         "JetBrains IDE settings",
         "Editors",
         "config",
         1,
         false,
         "paths",
         {"~/Library/Application Support/JetBrains/*/options", "~/Library/Application Support/JetBrains/*/keymaps",
          "~/Library/Application Support/JetBrains/*/colors", "~/Library/Application Support/JetBrains/*/templates"},
         "IntelliJ/PyCharm/etc. preferences and keymaps. (Scoped to settings dirs \u2014 skips the Daemon/caches "
         "noise.)",
         "Reconfigure, or restore from JetBrains Settings Sync."},
        {"iterm2",
         "iTerm2 preferences",
         "Terminal",
         "config",
         1,
         false,
         "paths",
         {"~/Library/Preferences/com.googlecode.iterm2.plist"},
         "Profiles, color schemes, keymaps.",
         "Rebuild profiles by hand."},
        {"db-clients",
         "Database GUI connections",
         "Databases",
         "config",
         2,
         false,
         "paths",
         {"~/Library/Application Support/TablePlus", "~/Library/Containers/com.sequel-ace.sequel-ace",
          "~/Library/Application Support/com.sequelpro.SequelPro"},
         "Saved connection metadata (TablePlus, Sequel Ace). Note: saved passwords are secrets, stored separately in "
         "Keychain.",
         "Re-enter host/port/db for every connection."},
        {"vim-neovim",
         "Vim / Neovim config",
         "Editors",
         "config",
         2,
         false,
         "paths",
         {"~/.vimrc", "~/.vim/vimrc", "~/.config/nvim", "~/.ideavimrc"},
         "Your editor config and plugin setup \u2014 often years of accumulated tweaks.",
         "Rebuild config and re-sync plugins."},
        {"terminal-multiplexer",
         "tmux / screen config",
         "Terminal",
         "config",
         1,
         false,
         "paths",
         {"~/.tmux.conf", "~/.config/tmux", "~/.screenrc"},
         "Multiplexer keybindings, status line, and plugins.",
         "Rebuild config by hand."},
        {"terminal-emulators",
         "Terminal emulator config",
         "Terminal",
         "config",
         1,
         false,
         "paths",
         {"~/.config/alacritty", "~/.config/kitty", "~/.config/ghostty", "~/.config/wezterm", "~/.wezterm.lua",
          "~/.config/warp"},
         "Alacritty / kitty / Ghostty / WezTerm / Warp profiles, themes, keybindings.",
         "Re-create themes and keymaps."},
        {"modern-editors",
         "Zed / Sublime / Cursor settings",
         "Editors",
         "config",
         1,
         false,
         "paths",
         {"~/.config/zed/settings.json", "~/.config/zed/keymap.json",
          "~/Library/Application Support/Sublime Text/Packages/User",
          "~/Library/Application Support/Cursor/User/settings.json",
          "~/Library/Application Support/Cursor/User/keybindings.json"},
         "Settings & keybindings for Zed, Sublime Text, and Cursor.",
         "Re-tweak settings; reinstall extensions from a saved list."},
        {"shell-prompt-tools",
         "Prompt & CLI tool config",
         "Shell",
         "config",
         1,
         false,
         "paths",
         {"~/.p10k.zsh", "~/.config/lazygit", "~/.config/atuin/config.toml", "~/.config/bat", "~/.ripgreprc",
          "~/.config/direnv", "~/.tool-versions"},
         "Powerlevel10k, lazygit, atuin, bat, ripgrep, direnv, asdf tool-versions.",
         "Rebuild each tool's config."},
        {"macos-power-tools",
         "Karabiner & window-manager config",
         "Shell",
         "config",
         2,
         false,
         "paths",
         {"~/.config/karabiner", "~/.config/aerospace", "~/.yabairc", "~/.skhdrc", "~/.hammerspoon",
          "~/.config/sketchybar"},
         "Karabiner key remaps and tiling-WM configs (AeroSpace, yabai, skhd, Hammerspoon, SketchyBar).",
         "Rebuild remaps and window rules \u2014 easy to forget how much you customized."},
        {"xcode-userdata",
         "Xcode snippets, keybindings & themes",
         "Editors",
         "config",
         2,
         false,
         "paths",
         {"~/Library/Developer/Xcode/UserData/CodeSnippets", "~/Library/Developer/Xcode/UserData/KeyBindings",
          "~/Library/Developer/Xcode/UserData/FontAndColorThemes", "~/Library/Developer/Xcode/UserData/Debugger",
          "~/Library/Developer/Xcode/UserData/IDETemplateMacros.plist", "~/.lldbinit"},
         "Xcode code snippets, custom key bindings, color themes and breakpoints \u2014 years of muscle memory.",
         "Recreate snippets and rebind keys by hand; re-import or rebuild themes."},
        {"personal-scripts",
         "Personal scripts (~/bin)",
         "Shell",
         "config",
         2,
         false,
         "paths",
         {"~/bin", "~/.local/bin", "~/.bin"},
         "Hand-written helper scripts on your PATH \u2014 usually committed nowhere.",
         "Often unrecoverable \u2014 you'd rewrite them from memory."},
        {"launch-agents",
         "Launch agents & automations",
         "Automation",
         "config",
         2,
         false,
         "paths",
         {"~/Library/LaunchAgents"},
         "Per-user background jobs and scheduled tasks (LaunchAgents) \u2014 easy to forget you set them up. (cron "
         "jobs are exported to manifest/crontab.txt.)",
         "Recreate each .plist and reload with launchctl."},
        {"launchers",
         "Alfred / Raycast workflows",
         "Productivity",
         "config",
         2,
         false,
         "paths",
         {"~/Library/Application Support/Alfred", "~/Library/Application Support/com.raycast.macos"},
         "Alfred workflows and Raycast config & extensions \u2014 real work to rebuild from scratch.",
         "Reconfigure; re-import workflows from a backup or the gallery."},
        {"homebrew",
         "Homebrew packages",
         "Package managers",
         "reproducible",
         1,
         false,
         "paths",
         {"/opt/homebrew/bin/brew", "/usr/local/bin/brew"},
         "All your CLI tools and casks.",
         "`brew bundle dump` now \u2192 `brew bundle` on the new machine restores everything."},
        {"nvm",
         "Node version manager",
         "Runtimes",
         "reproducible",
         1,
         false,
         "paths",
         {"~/.nvm", "~/.nodenv", "~/.fnm"},
         "Installed Node versions + global npm packages.",
         "Reinstall Node versions; re-run global npm installs from a saved list."},
        {"python-vm",
         "Python version manager",
         "Runtimes",
         "reproducible",
         1,
         false,
         "paths",
         {"~/.pyenv", "~/.rye", "~/.local/share/uv"},
         "Installed Python versions and tools.",
         "Reinstall versions via pyenv/uv."},
        {"rust-toolchain",
         "Rust toolchains",
         "Runtimes",
         "reproducible",
         1,
         false,
         "paths",
         {"~/.rustup"},
         "Installed Rust toolchains and components.",
         "Reinstall via rustup."},
        {"ruby-vm",
         "Ruby version managers",
         "Runtimes",
         "reproducible",
         1,
         false,
         "paths",
         {"~/.rbenv", "~/.rvm", "~/.asdf"},
         "Installed Ruby versions and (via asdf) other language runtimes.",
         "Reinstall versions via rbenv/rvm/asdf and a saved `.tool-versions`."},
        {"jvm-sdkman",
         "JVM toolchains (SDKMAN)",
         "Runtimes",
         "reproducible",
         1,
         false,
         "paths",
         {"~/.sdkman", "~/.jenv"},
         "Installed JDKs and JVM tools (Gradle, Maven, Kotlin, etc.).",
         "Reinstall candidates via `sdk install`."},
        {"js-runtimes",
         "Deno / Bun runtimes",
         "Runtimes",
         "reproducible",
         1,
         false,
         "paths",
         {"~/.deno", "~/.bun"},
         "Deno and Bun installs plus their global packages.",
         "Reinstall the runtime and re-add global tools."},
    };
    return table;
}

} // namespace

TEST(DefaultKnowledgeBaseTest, MatchesThePublishedCatalogRuleByRule) {
    const auto& rules = DefaultKnowledgeBase::rules();
    const auto& expected = expectedCatalog();
    ASSERT_EQ(rules.size(), 47u);
    ASSERT_EQ(expected.size(), 47u);
    for (size_t i = 0; i < expected.size(); ++i) {
        const ArtifactRule& r = rules[i];
        const ExpectedRule& e = expected[i];
        SCOPED_TRACE("rule #" + std::to_string(i + 1) + " " + e.id);
        EXPECT_EQ(r.id, e.id);
        EXPECT_EQ(r.title, e.title);
        EXPECT_EQ(r.category, e.category);
        EXPECT_EQ(toString(r.tier), e.tier);
        EXPECT_EQ(rawValue(r.risk), e.risk);
        EXPECT_EQ(r.sensitive, e.sensitive);
        EXPECT_EQ(toString(r.kind), e.kind);
        EXPECT_EQ(r.paths, e.paths);
        EXPECT_EQ(r.detail, e.detail);
        ASSERT_TRUE(r.recovery.has_value());
        EXPECT_EQ(*r.recovery, e.recovery);
    }
}

TEST(DefaultKnowledgeBaseTest, ShapeOfTheCatalog) {
    const auto& rules = DefaultKnowledgeBase::rules();
    ASSERT_EQ(rules.size(), 47u);
    EXPECT_EQ(rules.front().id, "ssh-keys");
    EXPECT_EQ(rules.back().id, "js-runtimes");

    std::set<std::string> ids;
    for (const auto& r : rules) {
        EXPECT_TRUE(ids.insert(r.id).second) << "duplicate id " << r.id;
        for (char c : r.id)
            EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') << r.id;
    }

    // Tiers come in blocks: rows 1-24 secret, 25-40 config, 41-47 reproducible.
    for (size_t i = 0; i < rules.size(); ++i) {
        Tier want = i < 24 ? Tier::secret : (i < 40 ? Tier::config : Tier::reproducible);
        EXPECT_EQ(rules[i].tier, want) << rules[i].id;
        EXPECT_EQ(rules[i].sensitive, want == Tier::secret) << rules[i].id;
    }

    std::map<std::pair<Tier, Risk>, int> counts;
    for (const auto& r : rules)
        ++counts[{r.tier, r.risk}];
    std::map<std::pair<Tier, Risk>, int> want = {
        {{Tier::secret, Risk::critical}, 5}, {{Tier::secret, Risk::high}, 12}, {{Tier::secret, Risk::medium}, 7},
        {{Tier::config, Risk::medium}, 9},   {{Tier::config, Risk::low}, 7},   {{Tier::reproducible, Risk::low}, 7},
    };
    EXPECT_EQ(counts, want);
}

TEST(DefaultKnowledgeBaseTest, ScanKindsRecoveryAndPatternForms) {
    for (const auto& r : DefaultKnowledgeBase::rules()) {
        SCOPED_TRACE(r.id);
        ASSERT_TRUE(r.recovery.has_value());
        EXPECT_FALSE(r.recovery->empty());
        EXPECT_FALSE(r.title.empty());
        EXPECT_FALSE(r.detail.empty());
        EXPECT_NE(r.kind, ScanKind::command);
        if (r.id == "env-files") {
            EXPECT_EQ(r.kind, ScanKind::envFiles);
            EXPECT_TRUE(r.paths.empty());
            continue;
        }
        EXPECT_EQ(r.kind, ScanKind::paths);
        EXPECT_FALSE(r.paths.empty());
        for (const auto& p : r.paths) {
            if (r.id == "homebrew")
                EXPECT_EQ(p.front(), '/') << p;
            else
                EXPECT_EQ(p.rfind("~/", 0), 0u) << p;
            EXPECT_EQ(p.find("//"), std::string::npos) << p;
            EXPECT_NE(p.back(), '/') << p;
        }
    }
}

TEST(DefaultKnowledgeBaseTest, TextsLeftToUsNameNoWebDomain) {
    const auto& rules = DefaultKnowledgeBase::rules();
    auto byId = [&](const std::string& id) -> const ArtifactRule& {
        for (const auto& r : rules)
            if (r.id == id)
                return r;
        throw std::runtime_error("no rule " + id);
    };
    const auto& cargo = byId("cargo-creds");
    EXPECT_EQ(cargo.title.rfind("Cargo (", 0), 0u);
    EXPECT_EQ(cargo.title.substr(cargo.title.size() - 13), ") credentials");
    EXPECT_EQ(cargo.detail.substr(cargo.detail.size() - 15), " publish token.");
    const auto& cloud = byId("cloud-cli-tokens");
    EXPECT_EQ(cloud.detail.rfind("Auth tokens for DigitalOcean, ", 0), 0u);
    EXPECT_NE(cloud.detail.find("Fly"), std::string::npos);
    EXPECT_EQ(cloud.detail.substr(cloud.detail.size() - 36), ", Stripe, Netlify, and similar CLIs.");
    for (const std::string* text : {&cargo.title, &cargo.detail, &cloud.detail}) {
        for (const char* tld : {".io", ".com", ".dev", ".org", ".net", "://"})
            EXPECT_EQ(text->find(tld), std::string::npos) << *text;
    }
}

TEST(DefaultKnowledgeBaseTest, EveryRuleSurvivesAJsonRoundTrip) {
    for (const auto& r : DefaultKnowledgeBase::rules()) {
        SCOPED_TRACE(r.id);
        nlohmann::json j = r;
        // Through text, so the typographic characters are exercised as UTF-8 on the way.
        nlohmann::json reparsed = nlohmann::json::parse(j.dump());
        EXPECT_EQ(reparsed.get<ArtifactRule>(), r);
        EXPECT_EQ(reparsed["tier"], toString(r.tier));
        EXPECT_EQ(reparsed["risk"], rawValue(r.risk));
        EXPECT_EQ(reparsed["recovery"], *r.recovery);
    }
}

TEST(DefaultKnowledgeBaseTest, BuiltOnceAndSharedAcrossThreads) {
    const std::vector<ArtifactRule>* seen[4] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&seen, i] { seen[i] = &DefaultKnowledgeBase::rules(); });
    for (auto& t : threads)
        t.join();
    for (auto* p : seen)
        EXPECT_EQ(p, &DefaultKnowledgeBase::rules());
}
