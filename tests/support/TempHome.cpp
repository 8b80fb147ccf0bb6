#include "support/TempHome.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace stowage::testing {

namespace {
std::optional<std::string> getenvOpt(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}
void restore(const char* name, const std::optional<std::string>& value) {
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}
} // namespace

TempHome::TempHome() {
    std::string tmpl = (fs::temp_directory_path() / "stowage-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = fs::canonical(tmpl).string();
    home_ = root_ + "/home";
    fs::create_directories(home_);
    savedHome_ = getenvOpt("HOME");
    savedConfig_ = getenvOpt("XDG_CONFIG_HOME");
    savedData_ = getenvOpt("XDG_DATA_HOME");
    setenv("HOME", home_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_ + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home_ + "/.local/share").c_str(), 1);
    savedDataDirs_ = getenvOpt("XDG_DATA_DIRS");
    savedFlatpak_ = getenvOpt("FLATPAK_SYSTEM_DIR");
    savedSnap_ = getenvOpt("SNAPPY_GLOBAL_ROOT");
    setenv("XDG_DATA_DIRS", (systemRoot() + "/usr/share").c_str(), 1);
    setenv("FLATPAK_SYSTEM_DIR", (systemRoot() + "/var/lib/flatpak").c_str(), 1);
    setenv("SNAPPY_GLOBAL_ROOT", systemRoot().c_str(), 1);
}

TempHome::~TempHome() {
    restore("HOME", savedHome_);
    restore("XDG_CONFIG_HOME", savedConfig_);
    restore("XDG_DATA_HOME", savedData_);
    restore("XDG_DATA_DIRS", savedDataDirs_);
    restore("FLATPAK_SYSTEM_DIR", savedFlatpak_);
    restore("SNAPPY_GLOBAL_ROOT", savedSnap_);
    std::error_code ec;
    // Make everything writable again so folders a test locked down can be removed.
    for (auto it = fs::recursive_directory_iterator(root_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            ::chmod(it->path().c_str(), 0700);
    }
    ::chmod(root_.c_str(), 0700);
    fs::remove_all(root_, ec);
}

std::string TempHome::operator/(const std::string& relative) const {
    return home_ + "/" + relative;
}

std::string TempHome::writeFile(const std::string& relative, const std::string& content,
                                std::optional<std::uint16_t> mode) const {
    std::string p = *this / relative;
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    if (mode)
        ::chmod(p.c_str(), *mode);
    return p;
}

std::string TempHome::makeDir(const std::string& relative) const {
    std::string p = *this / relative;
    fs::create_directories(p);
    return p;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int sh(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

} // namespace stowage::testing
