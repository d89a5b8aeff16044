// The Camera menu and Retrieve Images in the running program, against the in-process bench
// camera of --simulate.
#include "app/camera_commands.h"
#include "app/command_actions.h"
#include "app/document_commands.h"
#include "app_fixture.h"
#include "camsim/bench_camera.h"
#include "camsim/transfer_commands.h"
#include "library/picture_files_support.h"
#include "library/retrieved_index.h"
#include "settings/profile.h"
#include "shell/command_table.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <map>

namespace kv::testing {
namespace {

namespace cmd = shell::cmd;
namespace fs = std::filesystem;

std::map<std::string, Bytes> filesIn(const fs::path& folder) {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::directory_iterator(folder)) {
        if (!e.is_regular_file() || e.path().filename() == library::kRetrievedIndexName)
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        files[e.path().filename().string()] =
            Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return files;
}

class CameraCommandsTest : public AppTest {
protected:
    app::Application& startSimulated(QStringList bench = {}) {
        auto& a = start(QStringLiteral("/usr/bin/kvmini"),
                        QStringList{"--no-splash", "--simulate"} + bench);
        commands = app::cameraCommandsOf(a);
        EXPECT_NE(commands, nullptr);
        commands->setOperator(op);
        a.connectCamera();
        EXPECT_NE(a.camera().camera(), nullptr);
        return a;
    }

    static bool until(const std::function<bool()>& done, int ms = 10000) {
        QDeadlineTimer deadline(ms);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    bool enabled(int id) {
        app->frame()->updateActions();
        return app->frame()->commands().action(id)->isEnabled();
    }
    bool checked(int id) {
        app->frame()->updateActions();
        return app->frame()->commands().action(id)->isChecked();
    }

    // A retrieval into `folder` with the bench's quick waits.
    const library::RetrieveReport& retrieve(const fs::path& folder, bool newOnly = false) {
        fs::create_directories(folder);
        commands->askRetrieve = [folder, newOnly] {
            return app::RetrieveChoice{QString::fromStdString((folder / "Image.jpg").string()),
                                       newOnly};
        };
        commands->adjustRetrieve = [](library::RetrieveOptions& o) {
            o.timing.resendDelay = std::chrono::milliseconds(20);
        };
        app->router().run(cmd::RetrieveImages);
        return commands->lastRetrieval();
    }

    // Message boxes of code that does not take an Operator (the baud rate) are answered.
    void answerBoxes() {
        auto* timer = new QTimer(app.get());
        QObject::connect(timer, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    boxTexts << box->text();
                    box->accept();
                }
        });
        timer->start(50);
    }

    library::testing::ScriptedOperator op;
    app::CameraCommands* commands = nullptr;
    QStringList boxTexts;
};

TEST_F(CameraCommandsTest, ExposureFollowsAutoExposeAndKeepsItsIndex) {
    auto& a = startSimulated();
    a.router().run(cmd::kExposure[5]); // 1/60
    EXPECT_TRUE(checked(cmd::kExposure[5]));
    EXPECT_EQ(a.camera().bench()->withState([](camsim::CameraState& s) { return s.exposure; }), 5);
    a.router().run(cmd::AutoExpose);
    EXPECT_TRUE(checked(cmd::AutoExpose));
    EXPECT_FALSE(enabled(cmd::kExposure[5]));
    EXPECT_EQ(a.frame()->pane(1)->text(), "Exposure:  AUTO     ");
    a.router().run(cmd::AutoExpose);
    EXPECT_TRUE(enabled(cmd::kExposure[5]));
    EXPECT_TRUE(checked(cmd::kExposure[5]));
    EXPECT_FALSE(checked(cmd::kExposure[4]));
    EXPECT_EQ(a.frame()->pane(1)->text(), "Exposure:   1/60");

    // Flash and quality are mirrored and sent.
    const bool flash = checked(cmd::Flash);
    a.router().run(cmd::Flash);
    EXPECT_NE(checked(cmd::Flash), flash);
    a.router().run(cmd::Standard);
    EXPECT_EQ(a.camera().bench()->withState([](camsim::CameraState& s) { return s.quality; }), 1);
    EXPECT_TRUE(checked(cmd::Standard));

    // Take Picture plays the shutter once the camera said OK.
    a.router().run(cmd::TakePicture);
    EXPECT_TRUE(until([&] { return commands->shutterPlays() == 1; }));
}

TEST_F(CameraCommandsTest, CompressionDialogsByCameraKind) {
    struct Case {
        QStringList bench;
        shell::CompressionDialogKind kind;
        int start;
    };
    const Case cases[] = {
        {{"--camera=b"}, shell::CompressionDialogKind::JpegScale, 0},
        {{}, shell::CompressionDialogKind::WaveletNew, 0},
        // The older camera's record holds 5000 bytes: below 10 KB, so 35 + 10.
        {{"--firmware=2.50"}, shell::CompressionDialogKind::WaveletOld, 45},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bench.join(" ").toStdString());
        auto& a = startSimulated(c.bench);
        camsim::BenchCamera& bench = *a.camera().bench();
        camsim::withTransferStore(bench, [](camsim::TransferStore& s) {
            Bytes& r = s.parameterRecord;
            r[shell::kParamTargetSizeOffset] = 5000 & 0xFF;
            r[shell::kParamTargetSizeOffset + 1] = 5000 >> 8;
        });
        std::optional<shell::CompressionDialogSpec> seen;
        int seenStart = -1;
        commands->askLevel = [&](const shell::CompressionDialogSpec& form, int start) {
            seen = form;
            seenStart = start;
            return std::optional<int>(60);
        };
        a.router().run(cmd::CompressionLevel);
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->kind, c.kind);
        EXPECT_EQ(seenStart, c.start);
        if (c.kind == shell::CompressionDialogKind::WaveletOld) {
            EXPECT_EQ(op.messages.back(), shell::kCompressionChanged);
            const Bytes record = camsim::withTransferStore(
                bench, [](camsim::TransferStore& s) { return s.parameterRecord; });
            const auto start = shell::oldWaveletSliderStart(record);
            EXPECT_EQ(start, 60); // 50 KB stored, read back as 50 + 10
        } else {
            EXPECT_EQ(bench.withState([](camsim::CameraState& s) { return s.compression; }), 60);
            EXPECT_EQ(a.camera().compressionLevel(), 60);
            if (c.kind == shell::CompressionDialogKind::JpegScale) {
                EXPECT_EQ(a.frame()->pane(4)->text(), "Compression: 60");
            }
        }
        app.reset();
        op.messages.clear();
    }
}

TEST_F(CameraCommandsTest, BaudRateAndProtocolSettings) {
    auto& a = startSimulated();
    answerBoxes();
    a.router().run(cmd::BaudAuto);
    EXPECT_EQ(settings::Profile(dir.path() / "kvmini.INI").getString("CONNECT_PARAMS", "BAUD_RATE"),
              "0");
    EXPECT_TRUE(checked(cmd::BaudAuto));

    int connects = 0;
    QObject::connect(&a.camera(), &app::CameraSession::connectFinished, [&] { ++connects; });
    a.router().run(cmd::Rs422);
    EXPECT_EQ(settings::Profile(dir.path() / "kvmini.INI").getString("DIAGNOSTICS", "PROTOCOL"),
              "1");
    EXPECT_EQ(a.camera().protocol(), 1);
    EXPECT_TRUE(checked(cmd::Rs422));
    // Reconnected at once: a new link.
    EXPECT_EQ(connects, 1);
    EXPECT_NE(a.camera().camera(), nullptr);
}

TEST_F(CameraCommandsTest, PulledCableDuringASettingEndsInTheConnectProcedure) {
    auto& a = startSimulated();
    a.camera().bench()->pullCable();
    answerBoxes();
    // The search that follows goes on until the user cancels its box.
    auto* cancel = new QTimer(&a);
    QObject::connect(cancel, &QTimer::timeout, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QProgressDialog*>(w); box && box->isVisible())
                box->cancel();
    });
    cancel->start(200);
    a.router().run(cmd::Flash);
    EXPECT_EQ(a.camera().camera(), nullptr);
    // No port left to open (61525), or the search was cancelled.
    EXPECT_TRUE(a.camera().lastConnect().cancelled || a.camera().lastConnect().noPortOpened);
    EXPECT_FALSE(enabled(cmd::TakePicture));
    EXPECT_TRUE(enabled(cmd::ConnectCamera));
}

TEST_F(CameraCommandsTest, StatusBarTextsByCameraKind) {
    struct Case {
        QStringList bench;
        QStringList panes;
    };
    const Case cases[] = {
        {{"--firmware=2.50"},
         {"Exposure:   1/125", "Pics:  %1", "Sound:  ON    ", "Flash:  ON     ",
          "Quality:  Best  "}},
        {{"--camera=card", "--firmware=2.50"},
         {"Exposure:   1/125", "Pics:  %1", "Sound:  ON    ", "Flash:  ON     ",
          "Quality:  Best  "}},
        {{"--camera=b"},
         {"Exposure:   1/125", "Pics:  %1", "Flash:  ON     ", "Compression: 0", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bench.join(" ").toStdString());
        auto& a = startSimulated(c.bench);
        const int pictures = a.camera().camera()->status().pictures;
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(a.frame()->pane(i + 1)->text(),
                      QString(c.panes[i]).replace("%1", QString::number(pictures)))
                << i;
        app.reset();
    }
}

TEST_F(CameraCommandsTest, RetrievalStoresPicturesAndNewOnlySkipsThem) {
    auto& a = startSimulated({"--camera=b"});
    app::Document* document = app::documentOf(a);
    const int inCamera = a.camera().camera()->status().pictures;
    ASSERT_GT(inCamera, 0);
    EXPECT_TRUE(enabled(cmd::RetrieveImages));

    const auto& first = retrieve(dir / "pics");
    EXPECT_TRUE(first.complete());
    EXPECT_EQ(static_cast<int>(first.stored.size()), inCamera);
    EXPECT_EQ(document->list().count(), inCamera);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_FALSE(a.camera().transferRunning());
    EXPECT_EQ(a.settings().openPath(), (dir / "pics").string());
    EXPECT_TRUE(fs::exists(dir / "pics" / library::kRetrievedIndexName));

    // Again with "new pictures only": nothing is fetched.
    const auto& second = retrieve(dir / "pics", true);
    EXPECT_TRUE(second.stored.empty());
    EXPECT_EQ(second.skipped, inCamera);

    // Two more pictures in the camera: exactly those come.
    camsim::withTransferStore(*a.camera().bench(), [](camsim::TransferStore& s) {
        for (std::uint32_t seed : {21u, 22u}) {
            camsim::StoredItem picture;
            picture.data = camsim::appendCheckWord(camsim::makeCardJpeg(seed));
            s.items.push_back(std::move(picture));
        }
    });
    ASSERT_TRUE(until([&] { return a.camera().camera()->requestStatus() == status::Ok; }));
    const auto& third = retrieve(dir / "pics", true);
    EXPECT_EQ(third.stored.size(), 2u);
    EXPECT_EQ(third.skipped, inCamera);

    // A picture file deleted since is missing again and fetched once more.
    fs::remove(first.stored.front().picture);
    const auto& fourth = retrieve(dir / "pics", true);
    EXPECT_EQ(fourth.stored.size(), 1u);
}

TEST_F(CameraCommandsTest, RetrievalUnderFaultsStoresOnlyExactFiles) {
    {
        auto& a = startSimulated({"--camera=b"});
        (void)a;
        ASSERT_TRUE(retrieve(dir / "clean").complete());
        app.reset();
    }
    auto& a = startSimulated({"--camera=b"});
    a.camera().bench()->setFaults([] {
        camsim::FaultOptions f;
        f.seed = 7;
        f.corruptRate = 0.00003;
        return f;
    }());
    const auto& report = retrieve(dir / "faulty");
    EXPECT_GT(report.progress.retransmitCount, 0);
    const auto clean = filesIn(dir / "clean");
    const auto faulty = filesIn(dir / "faulty");
    EXPECT_FALSE(faulty.empty()) << report.listResult << " " << report.failures.size() << " "
                                 << report.cameraLost << " " << report.skipped;
    for (const auto& [name, bytes] : faulty) {
        ASSERT_TRUE(clean.count(name)) << name;
        EXPECT_TRUE(clean.at(name) == bytes) << name;
    }
    // Any picture that failed is reported once, with how many.
    if (!report.failures.empty()) {
        EXPECT_EQ(op.messages.size(), 1u);
    }
}

TEST_F(CameraCommandsTest, CancelKeepsTheFinishedPictures) {
    auto& a = startSimulated({"--camera=b", "--pace=200000"});
    app::Document* document = app::documentOf(a);
    // Cancel once the first picture is in the list.
    auto* watch = new QTimer(&a);
    QString percent, retransmits;
    QObject::connect(watch, &QTimer::timeout, [&] {
        app::RetrieveDialog* dialog = commands->retrieveDialog();
        if (document->list().count() > 0 && dialog && dialog->isVisible()) {
            percent = dialog->percentText();
            retransmits = dialog->retransmitText();
            dialog->cancelButton()->click();
        }
    });
    watch->start(10);
    const auto& report = retrieve(dir / "cut");
    EXPECT_TRUE(report.cancelled);
    EXPECT_TRUE(percent.startsWith(' ') && percent.endsWith(" %")) << percent.toStdString();
    EXPECT_NE(percent, " 0 %");
    EXPECT_EQ(retransmits, "Retransmit Count: 0");
    EXPECT_GE(report.stored.size(), 1u);
    EXPECT_EQ(document->list().count(), static_cast<int>(report.stored.size()));
    for (const auto& s : report.stored)
        EXPECT_TRUE(fs::exists(s.picture));
    // Run again with "new pictures only": only what is missing comes.
    watch->stop();
    const std::size_t had = report.stored.size();
    const int inCamera = a.camera().camera()->status().pictures;
    const auto& rest = retrieve(dir / "cut", true);
    EXPECT_TRUE(rest.complete());
    EXPECT_EQ(static_cast<int>(rest.stored.size() + had), inCamera);
}

TEST_F(CameraCommandsTest, FullMemoryBlinksAndALostLinkIsShown) {
    auto& a = startSimulated();
    camsim::BenchCamera& bench = *a.camera().bench();
    bench.withState([](camsim::CameraState& s) { s.pictures = -99; });
    ASSERT_EQ(a.camera().camera()->requestStatus(), status::Ok);
    a.statusRefresh();
    QLabel* pane = a.frame()->pane(2);
    ASSERT_TRUE(until([&] { return pane->text() == "      FULL"; }, 3000));
    EXPECT_EQ(pane->frameShadow(), QFrame::Raised);
    // A refresh in between (the ping's idle kick) leaves the blink as it is.
    a.statusRefresh();
    EXPECT_EQ(pane->text(), "      FULL");
    EXPECT_EQ(pane->frameShadow(), QFrame::Raised);
    ASSERT_TRUE(until([&] { return pane->text().startsWith("Pics:"); }, 3000));
    EXPECT_EQ(pane->frameShadow(), QFrame::Sunken);

    bench.withState([](camsim::CameraState& s) { s.pictures = 3; });
    ASSERT_EQ(a.camera().camera()->requestStatus(), status::Ok);
    a.statusRefresh();
    QTest::qWait(2200);
    EXPECT_EQ(pane->text(), "Pics:  3");

    // A camera that stops answering pings: the message pane says so and its items disable.
    camsim::FaultOptions silent;
    silent.silent = true;
    bench.setFaults(silent);
    ASSERT_TRUE(until([&] { return a.frame()->pane(0)->text() == "Camera link lost"; }, 30000));
    EXPECT_FALSE(enabled(cmd::TakePicture));
    EXPECT_FALSE(enabled(cmd::kExposure[0]));
}

TEST_F(CameraCommandsTest, EraseAndFormatAskFirst) {
    auto& a = startSimulated({"--camera=card"});
    op.answers = {false};
    a.router().run(cmd::EraseMemory);
    EXPECT_GT(a.camera().camera()->status().pictures, 0);
    a.router().run(cmd::EraseMemory);
    EXPECT_EQ(op.questions.back().rfind("This action will cause all pictures", 0), 0u);
    EXPECT_EQ(a.camera().camera()->status().pictures, 0);
    EXPECT_FALSE(a.camera().transferRunning());
    EXPECT_FALSE(enabled(cmd::RetrieveImages));

    a.router().run(cmd::FormatCard);
    EXPECT_EQ(op.messages.back(), "Memory Card Format Successful.");
}

TEST_F(CameraCommandsTest, WaitingForABusyCameraKeepsTheWindowAliveAndStartsNoOtherCommand) {
    auto& a = startSimulated({"--picture-busy=1500"});
    camsim::BenchCamera& bench = *a.camera().bench();
    const auto flash = [&] {
        return bench.withState([](camsim::CameraState& s) { return s.flash; });
    };
    const auto flashBefore = flash();
    a.router().run(cmd::TakePicture);
    ASSERT_TRUE(until([&] { return a.camera().camera()->linkState() == camera::LinkState::Busy; }));

    // The second picture waits for the first: events are handled meanwhile, commands are not.
    bool ticked = false;
    QTimer::singleShot(100, &a, [&] {
        ticked = true;
        a.router().run(cmd::Flash);
    });
    a.router().run(cmd::TakePicture);
    EXPECT_TRUE(ticked);
    EXPECT_FALSE(a.router().busy());
    EXPECT_EQ(flash(), flashBefore);
    EXPECT_TRUE(until([&] { return commands->shutterPlays() == 2; }));
}

} // namespace
} // namespace kv::testing
