// Makes one edit of an image and dies by SIGKILL inside it, at a chosen call that writes or
// syncs a file, so that the crash tests see the image and the journal a real crash leaves.
//
//   kestrel-crash-child dummy IMAGE ROW...
//   kestrel-crash-child overwrite IMAGE REPLACEMENT ROW
//   kestrel-crash-child replace IMAGE REPLACEMENT ROW
//   kestrel-crash-child relink IMAGE MASTER ROW...
//   kestrel-crash-child plan IMAGE PLAN
//
// KESTREL_CRASH_AT=N kills the process at the Nth call of write, pwrite, fsync or fdatasync;
// KESTREL_CRASH_TORN=1 lets that call write part of its bytes, or finish its sync, first.
// The rows are in the root directory. It prints how many such calls it made.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ops/Blanking.h"
#include "ops/MasterFile.h"
#include "ops/Overwrite.h"
#include "ops/PlanApply.h"
#include "ops/Replace.h"

namespace {

long envNumber(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atol(value) : 0;
}

long callsMade = 0;
const long crashAt = envNumber("KESTREL_CRASH_AT");
const bool torn = envNumber("KESTREL_CRASH_TORN") != 0;

bool strikesNow() {
    return ++callsMade == crashAt;
}

[[noreturn]] void die() {
    std::raise(SIGKILL);
    std::abort();
}

class Quiet : public kestrel::OperationObserver {
    void beginFile(const std::string&) override {}
    void showPercent(int) override {}
    bool stopRequested() override { return false; }
};

bool applyPlanFile(kestrel::Session& session, const std::string& path,
                   kestrel::OperationObserver& observer) {
    std::ifstream file(path);
    const auto plan = kestrel::parseEditPlan(std::string(std::istreambuf_iterator<char>(file), {}));
    const auto applied = plan ? kestrel::applyPlan(session, *plan, observer, false)
                              : kestrel::Result<kestrel::PlanOutcome>(plan.error());
    if (!applied) {
        std::fprintf(stderr, "%s\n", applied.error().message.c_str());
    }
    return applied.ok();
}

}  // namespace

extern "C" {

ssize_t __real_write(int descriptor, const void* bytes, size_t count);
ssize_t __real_pwrite(int descriptor, const void* bytes, size_t count, off_t offset);
int __real_fsync(int descriptor);
int __real_fdatasync(int descriptor);

// The journal is appended to with write: a torn record may end at any byte.
ssize_t __wrap_write(int descriptor, const void* bytes, size_t count) {
    if (strikesNow()) {
        if (torn) {
            __real_write(descriptor, bytes, count / 2);
        }
        die();
    }
    return __real_write(descriptor, bytes, count);
}

// The image is written with pwrite. A killed write ends where a page of the file does: the
// kernel copies whole pages and looks for a fatal signal between them.
ssize_t __wrap_pwrite(int descriptor, const void* bytes, size_t count, off_t offset) {
    if (strikesNow()) {
        constexpr off_t kPage = 4096;
        const off_t lastPage = (offset + static_cast<off_t>(count) - 1) / kPage * kPage;
        if (torn) {
            __real_pwrite(descriptor, bytes,
                          lastPage > offset ? static_cast<size_t>(lastPage - offset) : count,
                          offset);
        }
        die();
    }
    return __real_pwrite(descriptor, bytes, count, offset);
}

// A sync killed "torn" has reached the disk first.
int syncOrDie(int (*realSync)(int), int descriptor) {
    if (strikesNow()) {
        if (torn) {
            realSync(descriptor);
        }
        die();
    }
    return realSync(descriptor);
}

int __wrap_fsync(int descriptor) {
    return syncOrDie(__real_fsync, descriptor);
}

int __wrap_fdatasync(int descriptor) {
    return syncOrDie(__real_fdatasync, descriptor);
}
}

int main(int argc, char** argv) {
    using namespace kestrel;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() < 3) {
        std::fprintf(stderr,
                     "usage: kestrel-crash-child dummy|overwrite|replace|relink|plan IMAGE ...\n");
        return 2;
    }
    const auto& operation = arguments[0];
    auto session = Session::open(arguments[1], arguments[1] + ".layer1");
    if (!session) {
        std::fprintf(stderr, "%s\n", session.error().message.c_str());
        return 1;
    }
    const DirectoryNumber root = 1;
    const std::vector<std::string> rows(arguments.begin() + (operation == "dummy" ? 2 : 3),
                                        arguments.end());
    Quiet quiet;
    bool done = false;
    if (operation == "dummy") {
        // As a user who confirmed writing over the volume's own structures.
        auto snapshot = session->snapshot(root, rows);
        snapshot.structuresConfirmed = true;
        done = blankFiles(snapshot, quiet).failures.empty();
    } else if (operation == "overwrite") {
        done = overwriteFile(session->snapshot(root, rows), arguments[2], quiet).ok();
    } else if (operation == "replace") {
        const auto location = session->findRecord(root, rows.front());
        done = location && replaceFile(*session, root, *location, arguments[2], {}, quiet);
    } else if (operation == "plan") {
        done = applyPlanFile(*session, arguments[2], quiet);
    } else if (const auto master = chooseMasterFile(*session, root, arguments[2])) {
        done = !relinkFiles(*session, root, rows, *master, true).failure;
    }
    std::printf("%ld\n", callsMade);
    return done ? 0 : 1;
}
