// The platform table on Linux: Windows attributes mapped onto permission
// bits, threads from pthreads, the debugger channel a file that tests name.
#include "platform.h"
#include "platform_impl.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelb {

namespace {

// Workers are detached in spirit: nobody waits for a job. But the library may
// be unloaded right after a job ends, so the previous worker is reaped before
// the next one starts and before unload; code is never unmapped under it.
pthread_t last_worker;
bool have_worker = false;
pthread_mutex_t worker_lock = PTHREAD_MUTEX_INITIALIZER;

void* worker_trampoline(void* arg)
{
    auto entry = reinterpret_cast<void (*)()>(arg);
    platform().debug_output("DLL_THREAD_ATTACH \n");
    entry();
    platform().debug_output("DLL_THREAD_DETACH \n");
    return nullptr;
}

bool posix_start_thread(void (*entry)())
{
    pthread_mutex_lock(&worker_lock);
    if (have_worker) {
        pthread_join(last_worker, nullptr);
        have_worker = false;
    }
    bool ok = pthread_create(&last_worker, nullptr, worker_trampoline,
                             reinterpret_cast<void*>(entry)) == 0;
    have_worker = ok;
    pthread_mutex_unlock(&worker_lock);
    return ok;
}

void posix_sleep_ms(unsigned milliseconds)
{
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Silent unless KELBZP1_DEBUG_LOG names a file; each line is appended whole.
void posix_debug_output(const char* text)
{
    const char* path = getenv("KELBZP1_DEBUG_LOG");
    if (!path || !*path)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, text, strlen(text));
    (void)ignored;
    close(fd);
}

int32_t posix_available_processors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int32_t>(online) : 1;
}

uint32_t posix_get_file_attributes(const char* name)
{
    struct stat st;
    if (stat(name, &st) != 0)
        return attributes_invalid;
    uint32_t attributes = attribute_archive;
    if (!(st.st_mode & S_IWUSR))
        attributes |= attribute_readonly;
    if (S_ISDIR(st.st_mode))
        attributes |= attribute_directory;
    return attributes;
}

// Only read-only has a meaning here: it takes every write bit away; without
// it the owner gets write permission back. Other bits are accepted and ignored.
bool posix_set_file_attributes(const char* name, uint32_t attributes)
{
    struct stat st;
    if (stat(name, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = (attributes & attribute_readonly) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
    return wanted == mode || chmod(name, wanted) == 0;
}

bool posix_delete_file(const char* name) { return unlink(name) == 0; }

bool posix_same_file(const char* a, const char* b)
{
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Regular files only: a FIFO or a device would hold the worker or take the
// job's output.
FILE* posix_stream_open(const char* name, const char* mode)
{
    bool both = strchr(mode, '+') != nullptr, writing = mode[0] == 'w';
    if (!writing && mode[0] != 'r')
        return nullptr;
    int flags = (both ? O_RDWR : writing ? O_WRONLY : O_RDONLY) | (writing ? O_CREAT : 0);
    int fd = open_regular_file(name, flags, writing);
    FILE* stream = fd >= 0 ? fdopen(fd, mode) : nullptr;
    if (fd >= 0 && !stream)
        close(fd);
    return stream;
}

int64_t posix_stream_size(FILE* stream)
{
    if (fseeko(stream, 0, SEEK_END) != 0)
        return -1;
    return static_cast<int64_t>(ftello(stream));
}

int64_t posix_stream_tell(FILE* stream) { return static_cast<int64_t>(ftello(stream)); }

const platform_ops posix_ops = {
    posix_start_thread,        posix_sleep_ms,    posix_debug_output, posix_available_processors,
    posix_get_file_attributes, posix_set_file_attributes, posix_delete_file,
    posix_same_file,           posix_stream_open, stdio_read,
    stdio_write,               stdio_failed,      posix_stream_size,
    posix_stream_tell,         stdio_close,
};

}  // namespace

const platform_ops& real_platform() { return posix_ops; }

int open_regular_file(const char* name, int flags, bool empty)
{
    int fd;
    do
        fd = open(name, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        (empty && ftruncate(fd, 0) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

void reap_last_worker()
{
    pthread_mutex_lock(&worker_lock);
    if (have_worker) {
        pthread_join(last_worker, nullptr);
        have_worker = false;
    }
    pthread_mutex_unlock(&worker_lock);
}

}  // namespace kelb
