// SPDX-License-Identifier: GPL-3.0-or-later
#include "atomic_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace pcx {

namespace {

// The temporary files of the writes in progress (one a thread that converts), for the signal
// handler to remove. A slot is 0 free, 1 being filled, 2 naming a file.
constexpr int slotCount = 32;
char g_pendingTemp[slotCount][4096];
std::atomic<int> g_slotState[slotCount];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots");

extern "C" void removePendingAndDie(int sig)
{
    for (int i = 0; i < slotCount; ++i)
        if (g_slotState[i].load() == 2)
            unlink(g_pendingTemp[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Records a temporary file's name; -1 when every slot is taken (it is then not removed on a signal).
int holdPending(const char* path, size_t size)
{
    if (size > sizeof g_pendingTemp[0])
        return -1;
    for (int i = 0; i < slotCount; ++i) {
        int expected = 0;
        if (g_slotState[i].compare_exchange_strong(expected, 1)) {
            std::memcpy(g_pendingTemp[i], path, size);
            g_slotState[i].store(2);
            return i;
        }
    }
    return -1;
}

void watchSignals()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            struct sigaction sa {};
            sa.sa_handler = removePendingAndDie;
            sigemptyset(&sa.sa_mask);
            sigaction(sig, &sa, nullptr);
        }
        // Past a file size limit the write then fails (EFBIG) and is reported like any other,
        // instead of the signal ending the program with its temporary file left behind.
        signal(SIGXFSZ, SIG_IGN);
    });
}

std::string systemError(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

AtomicFile::AtomicFile(std::string target, bool sync) : target_(std::move(target)), sync_(sync) {}

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::open()
{
    if (target_.empty()) {
        error_ = "no output path";
        return false;
    }
    const size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    std::string name = target_.substr(dir.size());
    if (name.empty()) {
        error_ = "the output path names a folder";
        return false;
    }
    // Hidden and beside the target, so the rename stays on one file system.
    std::string pattern = dir + "." + name.substr(0, 64) + ".XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    watchSignals();
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    fd_ = mkstemp(buf.data());
    if (fd_ >= 0)
        slot_ = holdPending(buf.data(), buf.size());
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (fd_ < 0) {
        error_ = systemError("cannot create the output file");
        return false;
    }
    tempPath_ = buf.data();
    // mkstemp makes it private; the result should be an ordinary file.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
    return true;
}

bool AtomicFile::write(const uint8_t* data, size_t n)
{
    if (fd_ < 0)
        return false;
    while (n) {
        const ssize_t k = ::write(fd_, data, n);
        if (k < 0) {
            if (errno == EINTR)
                continue;
            error_ = systemError("cannot write the output file");
            return false;
        }
        data += k;
        n -= size_t(k);
        written_ += uint64_t(k);
    }
    return true;
}

bool AtomicFile::commit()
{
    if (fd_ < 0)
        return false;
    if (sync_ && fsync(fd_) != 0 && errno != EINVAL) {
        error_ = systemError("cannot write the output file");
        discard();
        return false;
    }
    if (::close(fd_) != 0) {
        fd_ = -1;
        error_ = systemError("cannot write the output file");
        discard();
        return false;
    }
    fd_ = -1;
    if (std::rename(tempPath_.c_str(), target_.c_str()) != 0) {
        error_ = systemError("cannot replace the output file");
        discard();
        return false;
    }
    release();
    tempPath_.clear();
    return true;
}

void AtomicFile::discard()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempPath_.empty()) {
        unlink(tempPath_.c_str());
        tempPath_.clear();
    }
    release();
}

void AtomicFile::release()
{
    if (slot_ >= 0)
        g_slotState[slot_].store(0);
    slot_ = -1;
}

}  // namespace pcx
