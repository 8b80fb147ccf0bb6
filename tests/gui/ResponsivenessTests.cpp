// The window stays responsive while a backup runs: a backup of a generated home with a few thousand
// files runs through the real thread-pool executor while a 50 ms timer on the main thread measures
// the longest gap between its ticks.

#include "GuiFixture.hpp"

#include "gui/BackupView.hpp"
#include "gui/RootView.hpp"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

using namespace stowage;
using stowage::testing::GuiWorld;

class ResponsivenessTests : public QObject {
    Q_OBJECT
private slots:
    void mainThreadAnswersWhileBackingUp();
};

void ResponsivenessTests::mainThreadAnswersWhileBackingUp() {
    GuiWorld w;
    // A config folder of 5,000 small files.
    for (int d = 0; d < 50; ++d)
        for (int f = 0; f < 100; ++f)
            w.home.writeFile(".config/nvim/lua/mod" + std::to_string(d) + "/file" + std::to_string(f) + ".lua",
                             "-- generated module " + std::to_string(d * 100 + f) + "\nreturn {}\n");
    w.model->setBackupDir(w.home / "Backups/load");
    w.model->setIncludeRestorer(false);
    w.model->setIncludeManifests(false);
    w.model->setUsePassphrase(false);
    w.model->setIncremental(false);
    w.window->show();
    QTRY_VERIFY_WITH_TIMEOUT(w.model->inventory().has_value() && !w.model->scanning(), 120000);
    w.model->setTab(AppModel::Tab::backup);
    QCoreApplication::processEvents();

    QElapsedTimer clock;
    qint64 last = 0, maxGap = 0;
    int ticks = 0;
    QTimer timer;
    timer.setInterval(50);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        maxGap = std::max(maxGap, now - last);
        last = now;
        ++ticks;
    });
    clock.start();
    timer.start();
    QTest::mouseClick(w.window->root()->backupPane()->backUpButton(), Qt::LeftButton);
    QVERIFY(w.model->backingUp());
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->backingUp(), 300000);
    const qint64 took = clock.elapsed();
    timer.stop();
    QVERIFY2(w.model->backupResult(), w.model->backupError().value_or("").c_str());
    QVERIFY(w.model->backupResult()->configFiles.size() >= 1);
    qInfo("backup of %d generated files took %lld ms; longest gap between 50 ms ticks: %lld ms over %d ticks", 5000,
          static_cast<long long>(took), static_cast<long long>(maxGap), ticks);
    QVERIFY2(ticks >= 1, "the backup finished before the timer could measure anything");
    QVERIFY2(maxGap <= 250, qPrintable(QString("the main thread stalled for %1 ms").arg(maxGap)));
}

QTEST_MAIN(ResponsivenessTests)
#include "ResponsivenessTests.moc"
