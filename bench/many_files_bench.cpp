// kestrel-many-files-bench SCRATCH_FOLDER [ROUNDS]
//
// Times Extract and Dummy of every file of a directory of 3,000 small files (1 to 8 KiB, in
// an image written by genisoimage -XA), through the core, through the real window
// (offscreen, answered by a scripted prompter) and through kestrel-cli naming every file,
// against 7z x and bsdtar -x extracting the same image, and against writing the same zeros
// with plain pwrite and one fsync. Needs
// about 60 MB in SCRATCH_FOLDER and removes what it wrote there at the end.

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "PatternBytes.h"
#include "SideBySide.h"
#include "app/KestrelDlg.h"
#include "dialogs/ImageText.h"
#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/Session.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;
using namespace kestrel::bench;

constexpr int kFileCount = 3000;
constexpr int kDefaultRounds = 5;
using Bytes = std::vector<uint8_t>;

// Reports nothing and never stops, as a run nobody watches.
class QuietObserver : public OperationObserver {
public:
    void beginFile(const std::string&) override {}
    void showPercent(int) override {}
    bool stopRequested() override { return false; }
};

// Answers as a user who wants every run done: the folder to extract to, Yes to going on
// without undo; ends the wait for a run at its end message.
class BenchPrompter : public Prompter {
public:
    Answer show(const Message& message) override {
        if (message.asks()) {
            return Answer::Yes;
        }
        shown.push_back(message.text.toStdString());
        if (waiting != nullptr) {
            waiting->quit();
        }
        return Answer::Ok;
    }
    QString chooseFileToOpen(const QString&, const QString&) override { return {}; }
    QString chooseFileToSave(const QString&, const QString&) override { return {}; }
    QString chooseFolder(const QString&) override { return folder; }

    QString folder;
    std::vector<std::string> shown;
    QEventLoop* waiting = nullptr;
};

Bytes readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const fs::path& path, const Bytes& bytes, bool inPlace) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | (inPlace ? 0 : O_TRUNC), 0644);
    if (fd < 0 ||
        ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
        ::fsync(fd) != 0 || ::close(fd) != 0) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

struct Scratch {
    explicit Scratch(const fs::path& folder)
        : source(folder / "kestrel-many-source"),
          image(folder / "kestrel-many.iso"),
          out(folder / "kestrel-many-out"),
          state(folder / "kestrel-many-state"),
          config(folder / "kestrel-many-config") {
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        fs::create_directories(config / "kestrel");
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        std::error_code ignored;
        for (const auto& path : {source, image, out, state, config}) {
            fs::remove_all(path, ignored);
        }
    }
    // Without undo, as a user gets it: an edit limit every run exceeds, and Yes when asked.
    void keepUndo(bool keep) const {
        std::ofstream(config / "kestrel" / "undo.conf") << (keep ? "" : "edit-limit = 1K\n");
    }

    fs::path source, image, out, state, config;
};

// The files' names and bytes, as written into the source folder.
std::map<std::string, Bytes> makeFiles(const Scratch& scratch) {
    fs::create_directories(scratch.source);
    std::map<std::string, Bytes> files;
    for (int i = 0; i < kFileCount; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "F%04d.BIN", i);
        Bytes bytes(1024 + (static_cast<size_t>(i) * 7919) % 7169);
        PatternBytes(static_cast<uint64_t>(i) + 1).fill(0, bytes);
        writeAll(scratch.source / name, bytes, false);
        files.emplace(name, std::move(bytes));
    }
    runTool(
        {"genisoimage", "-quiet", "-XA", "-o", scratch.image.string(), scratch.source.string()});
    return files;
}

void checkFolder(const fs::path& folder, const std::map<std::string, Bytes>& files,
                 const std::string& who) {
    if (std::distance(fs::directory_iterator(folder), {}) != kFileCount) {
        throw std::runtime_error(who + " did not leave exactly the " + std::to_string(kFileCount) +
                                 " files in " + folder.string());
    }
    for (const auto& [name, bytes] : files) {
        if (readAll(folder / name) != bytes) {
            throw std::runtime_error(who + " extracted other bytes for " + name);
        }
    }
}

// The real window on the image, every file of its root selected.
class WindowDriver {
public:
    explicit WindowDriver(const fs::path& image) {
        auto scripted = std::make_unique<BenchPrompter>();
        prompter_ = scripted.get();
        window_ = std::make_unique<CKestrelDlg>(std::move(scripted));
        window_->show();
        window_->openChosenImage(fromLocalPath(image.string()));
        auto* list = window_->controlAs<QTreeWidget>(CKestrelDlg::kFileList);
        list->selectAll();
        if (list->selectedItems().size() != kFileCount) {
            throw std::runtime_error("the window lists " +
                                     std::to_string(list->topLevelItemCount()) + " files");
        }
    }

    // Presses `button` and returns once the run's end message is shown.
    void run(int button, const fs::path& folder, const std::string& endMessage) {
        prompter_->folder = fromLocalPath(folder.string());
        prompter_->shown.clear();
        QEventLoop loop;
        prompter_->waiting = &loop;
        window_->controlAs<QPushButton>(button)->click();
        if (prompter_->shown.empty()) {
            loop.exec();
        }
        prompter_->waiting = nullptr;
        if (prompter_->shown != std::vector<std::string>{endMessage}) {
            throw std::runtime_error("the window ended with \"" +
                                     (prompter_->shown.empty() ? "" : prompter_->shown.back()) +
                                     "\" instead of \"" + endMessage + "\"");
        }
    }
    // Untimed: the worker hands the buttons back after its end message.
    void waitUntilIdle() const {
        while (window_->operationRunning()) {
            QCoreApplication::processEvents();
            QThread::msleep(1);
        }
        QCoreApplication::processEvents();
    }

private:
    BenchPrompter* prompter_ = nullptr;
    std::unique_ptr<CKestrelDlg> window_;
};

OperationSnapshot snapshotOfAll(const Scratch& scratch, const std::map<std::string, Bytes>& files) {
    auto session = Session::open(scratch.image.string());
    if (!session) {
        throw std::runtime_error(session.error().message);
    }
    std::vector<std::string> names;
    for (const auto& entry : files) {
        names.push_back(entry.first);
    }
    auto snapshot = session->snapshot(1, names);
    for (const auto& file : snapshot.files) {
        if (!file.record || file.record->dataLength != files.at(file.rowName).size()) {
            throw std::runtime_error("the core does not find " + file.rowName + " as written");
        }
    }
    return snapshot;
}

// kestrel-cli's arguments for a command on every file: the image, then each file's path.
std::vector<std::string> cliCommand(std::vector<std::string> command, const Scratch& scratch,
                                    const OperationSnapshot& snapshot) {
    command.insert(command.begin(), KESTREL_CLI);
    command.push_back(scratch.image.string());
    for (const auto& file : snapshot.files) {
        command.push_back("/" + file.rowName);
    }
    return command;
}

void requireClean(const OperationReport& report, const std::string& who) {
    if (!report.failures.empty() || report.stopped) {
        throw std::runtime_error(who + (report.stopped
                                            ? " stopped early"
                                            : " failed: " + report.failures.front().error.message));
    }
}

// Each run extracts into a new empty folder; all are removed only at the end. Removing
// thousands of files just before a run would slow every side's file creation alike (ext4
// looks past recently freed inodes), which no user extracting into a folder pays.
Contest extractContest(const Scratch& scratch, const std::map<std::string, Bytes>& files,
                       const OperationSnapshot& snapshot, WindowDriver& window) {
    const std::string image = scratch.image.string();
    auto folder = std::make_shared<fs::path>();
    auto runs = std::make_shared<int>(0);
    return {
        .name = "Extract",
        .prepare =
            [&, folder, runs] {
                window.waitUntilIdle();
                *folder = scratch.out / std::to_string(++*runs);
                fs::create_directories(*folder);
                ::sync();
            },
        .sides = {{"core",
                   [&, folder] {
                       QuietObserver observer;
                       requireClean(extractFiles(snapshot, folder->string(), observer), "Extract");
                   }},
                  {"window",
                   [&, folder] {
                       window.run(CKestrelDlg::kExtractButton, *folder, "Selected Files Extracted");
                   }},
                  {"7z",
                   [=] {
                       runTool({"7z", "x", "-bd", "-o" + folder->string(), image});
                   }},
                  {"bsdtar",
                   [=] {
                       runTool({"bsdtar", "-x", "-f", image, "-C", folder->string()});
                   }},
                  {"kestrel-cli",
                   [&, folder, command = cliCommand({"extract"}, scratch, snapshot)] {
                       auto named = command;
                       named.insert(named.end(), {"-o", folder->string()});
                       runTool(named);
                   }}},
        .check = [&, folder](const std::string& side,
                             bool) { checkFolder(*folder, files, "Extract (" + side + ")"); },
    };
}

Contest dummyContest(const Scratch& scratch, const Bytes& pristine, const Bytes& blanked,
                     const OperationSnapshot& snapshot, WindowDriver& window) {
    OperationSnapshot withoutUndo = snapshot;
    withoutUndo.keepUndo = false;
    const auto core = [](const OperationSnapshot& taken) {
        QuietObserver observer;
        requireClean(blankFiles(taken, observer), "Dummy");
    };
    const auto byWindow = [&](bool keepUndo) {
        scratch.keepUndo(keepUndo);
        window.run(CKestrelDlg::kDummyButton, {}, "File Replaced With a Dummy File");
    };
    return {
        .name = "Dummy",
        .prepare =
            [&] {
                window.waitUntilIdle();
                fs::remove_all(scratch.state);
                writeAll(scratch.image, pristine, true);
                ::sync();
            },
        .sides = {{"core", [=] { core(withoutUndo); }},
                  {"core+undo", [=] { core(snapshot); }},
                  {"window", [=] { byWindow(false); }},
                  {"window+undo", [=] { byWindow(true); }},
                  {"pwrite",
                   [&] {
                       const int fd = ::open(scratch.image.c_str(), O_WRONLY);
                       const Bytes zeros(8192);
                       for (const auto& file : snapshot.files) {
                           const auto offset = snapshot.dataOffset(file, pristine.size());
                           if (fd < 0 || !offset ||
                               ::pwrite(fd, zeros.data(), file.record->dataLength,
                                        static_cast<off_t>(*offset)) < 0) {
                               throw std::runtime_error("the pwrite reference failed");
                           }
                       }
                       if (::fsync(fd) != 0 || ::close(fd) != 0) {
                           throw std::runtime_error("the pwrite reference failed to sync");
                       }
                   }},
                  {"kestrel-cli", [command = cliCommand({"--no-undo", "dummy"}, scratch,
                                                        snapshot)] { runTool(command); }},
                  {"kestrel-cli+undo",
                   [&, command = cliCommand({"dummy"}, scratch, snapshot)] {
                       scratch.keepUndo(true);
                       runTool(command);
                   }}},
        .check =
            [&](const std::string& side, bool) {
                if (readAll(scratch.image) != blanked) {
                    throw std::runtime_error("Dummy (" + side + ") left other bytes in the image");
                }
            },
    };
}

double median(std::vector<double> values) {
    std::ranges::sort(values);
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void printRatio(const char* what, const Timings& timings, size_t side, size_t reference,
                const char* target) {
    std::printf("  %-36s %5.2f", what, median(timings[side]) / median(timings[reference]));
    std::printf(*target != '\0' ? "   (target %s)\n" : "\n", target);
}

void runBenchmark(const fs::path& folder, int rounds) {
    const auto start = std::chrono::steady_clock::now();
    std::printf("Kestrel many-files benchmark: %d files of 1 to 8 KiB, %d timed rounds\n",
                kFileCount, rounds);
    std::printf("load before: %s\n", commandOutput({"cat", "/proc/loadavg"}).c_str());
    const Scratch scratch(folder);
    const auto files = makeFiles(scratch);
    uint64_t dataBytes = 0;
    for (const auto& entry : files) {
        dataBytes += entry.second.size();
    }
    const OperationSnapshot snapshot = snapshotOfAll(scratch, files);
    const Bytes pristine = readAll(scratch.image);
    Bytes blanked = pristine;
    for (const auto& file : snapshot.files) {
        const auto offset = *snapshot.dataOffset(file, pristine.size());
        std::fill_n(blanked.begin() + static_cast<ptrdiff_t>(offset), file.record->dataLength, 0);
    }
    WindowDriver window(scratch.image);

    const Contest extract = extractContest(scratch, files, snapshot, window);
    const Timings extracted = runContest(extract, rounds);
    printTimings(extract, dataBytes, extracted);
    printRatio("Extract: window / core", extracted, 1, 0, "<= 1.2");
    printRatio("Extract: core / 7z x", extracted, 0, 2, "<= 1");
    printRatio("Extract: core / bsdtar -x", extracted, 0, 3, "<= 1.5");
    printRatio("Extract: kestrel-cli / 7z x", extracted, 4, 2, "");

    const Contest dummy = dummyContest(scratch, pristine, blanked, snapshot, window);
    const Timings blankedTimes = runContest(dummy, rounds);
    printTimings(dummy, dataBytes, blankedTimes);
    printRatio("Dummy: window / core", blankedTimes, 2, 0, "<= 1.2");
    printRatio("Dummy: window+undo / core+undo", blankedTimes, 3, 1, "<= 1.2");
    printRatio("Dummy: core / pwrite", blankedTimes, 0, 4, "<= 1.5");
    printRatio("Dummy: core+undo / pwrite", blankedTimes, 1, 4, "<= 3");
    printRatio("Dummy: kestrel-cli / pwrite", blankedTimes, 5, 4, "");
    printRatio("Dummy: kestrel-cli+undo / pwrite", blankedTimes, 6, 4, "");
    window.waitUntilIdle();

    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("all results checked byte for byte; load after: %s; whole benchmark %.0f s\n",
                commandOutput({"cat", "/proc/loadavg"}).c_str(), elapsed.count());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || !fs::is_directory(argv[1])) {
        std::fprintf(stderr,
                     "usage: kestrel-many-files-bench SCRATCH_FOLDER [ROUNDS] (an existing "
                     "folder)\n");
        return 2;
    }
    // The real window, drawn into memory: no display is needed.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    try {
        runBenchmark(fs::absolute(argv[1]), argc == 3 ? std::atoi(argv[2]) : kDefaultRounds);
    } catch (const std::exception& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "kestrel-many-files-bench: FAILED: %s\n", failure.what());
        return 1;
    }
    return 0;
}
