#pragma once
// A model on a temporary home: private git configuration (GitFixture), a settings store, a key
// store and a stand-in program folder outside the home, and a clock the test moves.

#include "core/Paths.hpp"
#include "core/platform/DefaultsStore.hpp"
#include "core/platform/KeyStore.hpp"
#include "model/AppModel.hpp"
#include "support/GitFixture.hpp"

namespace stowage::testing {

class ModelFixture : public GitFixture {
protected:
    ModelFixture() {
        home.writeFile("../bin/stowage-app", "#!/bin/sh\necho app\n", 0755);
        home.writeFile("../bin/stowage", "#!/bin/sh\necho cli\n", 0755);
    }

    std::unique_ptr<AppModel> makeModel(std::shared_ptr<Executor> executor = std::make_shared<InlineExecutor>()) {
        AppEnvironment env;
        env.executor = std::move(executor);
        env.homeFolder = home.path();
        env.programPath = paths::join(outside, "bin/stowage-app");
        env.clock = [this] { return clockNow; };
        env.defaults = store;
        env.access = std::make_shared<DirectFileAccess>();
        env.keyStore = keys;
        return std::make_unique<AppModel>(env);
    }

    /// The temporary root that holds the home folder; backups and remotes live here, off the home.
    std::string outside = paths::parent(home.path());
    std::shared_ptr<JsonDefaultsStore> store =
        std::make_shared<JsonDefaultsStore>(paths::join(outside, "settings/defaults.json"));
    std::shared_ptr<FileKeyStore> keys = std::make_shared<FileKeyStore>(paths::join(outside, "keys"));
    Timestamp clockNow = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
};

} // namespace stowage::testing
