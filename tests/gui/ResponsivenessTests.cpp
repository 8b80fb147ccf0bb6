// The window stays responsive while a backup runs: a backup of a generated home with a few thousand
// files runs through the real thread-pool executor while a 50 ms timer on the main thread measures
// the longest gap between its ticks.

#include "GuiFixture.hpp"

#include "gui/BackupView.hpp"
#include "gui/RootView.hpp"

#include <QtTest>
#include <QtWidgets>

using namespace stowage;

class ResponsivenessTests : public QObject {
    Q_OBJECT
private slots:
    void mainThreadAnswersWhileBackingUp();
};

void ResponsivenessTests::mainThreadAnswersWhileBackingUp() {
    stowage::testing::GuiWorld w;
    for (int f = 0; f < 5000; ++f) // a config folder of 5,000 small files
        w.home.writeFile(".config/nvim/lua/mod" + std::to_string(f / 100) + "/file" + std::to_string(f) + ".lua",
                         "-- generated module " + std::to_string(f) + "\nreturn {}\n");
    w.model->setBackupDir(w.home / "Backups/load");
    w.model->setIncludeManifests(false);
    w.model->setUsePassphrase(false);
    w.window->show();
    QTRY_VERIFY_WITH_TIMEOUT(w.model->inventory().has_value() && !w.model->scanning(), 120000);
    w.model->setTab(AppModel::Tab::backup);
    QCoreApplication::processEvents();

    QElapsedTimer clock;
    qint64 last = 0, maxGap = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        maxGap = std::max(maxGap, now - last);
        last = now;
    });
    clock.start();
    timer.start(50);
    QTest::mouseClick(w.window->root()->backupPane()->backUpButton(), Qt::LeftButton);
    QVERIFY(w.model->backingUp());
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->backingUp(), 300000);
    timer.stop();
    QVERIFY2(w.model->backupResult() && !w.model->backupResult()->configFiles.empty(),
             w.model->backupError().value_or("").c_str());
    qInfo("backup of 5000 generated files took %lld ms; longest gap between 50 ms ticks: %lld ms",
          static_cast<long long>(clock.elapsed()), static_cast<long long>(maxGap));
    QVERIFY2(last > 0, "the backup finished before the timer could measure anything");
    QVERIFY2(maxGap <= 250, qPrintable(QString("the main thread stalled for %1 ms").arg(maxGap)));
}

QTEST_MAIN(ResponsivenessTests)
#include "ResponsivenessTests.moc"
