/* ODPlat.cpp -- the portable half of the platform layer: the switchable
 * clock and the file-name helpers. The OS halves live in posix/ and win32/. */
#include "ODPlat.h"
#include "ODUtil.h"

#include <atomic>
#include <string.h>

/* Implemented by the OS half. */
uint64_t ODPlatRealTickMs(void);
int64_t  ODPlatRealWallSeconds(void);
void     ODPlatRealSleepMs(uint32_t ms);

static std::atomic<int>      bVirtualClock{0};
static std::atomic<uint64_t> qwVirtualTick{0};
static uint64_t              qwVirtualStartTick = 0;
static int64_t               nVirtualStartWall = 0;
static std::atomic<tODPlatSleepHook> pfODPlatSleepHook{nullptr};

void ODPlatSetSleepHook(tODPlatSleepHook hook)
{
    pfODPlatSleepHook.store(hook);
}

uint64_t ODPlatTickMs(void)
{
    if (bVirtualClock.load()) return qwVirtualTick.load();
    return ODPlatRealTickMs();
}

int64_t ODPlatWallSeconds(void)
{
    if (bVirtualClock.load())
        return nVirtualStartWall + (int64_t)((qwVirtualTick.load() - qwVirtualStartTick) / 1000);
    return ODPlatRealWallSeconds();
}

void ODPlatSleepMs(uint32_t ms)
{
    tODPlatSleepHook hook = pfODPlatSleepHook.load();
    if (hook) hook();
    if (bVirtualClock.load()) {
        qwVirtualTick.fetch_add(ms);
        ODPlatRealSleepMs(0);
        return;
    }
    ODPlatRealSleepMs(ms);
}

void ODPlatClockUseVirtual(uint64_t start_tick_ms, int64_t start_wall_seconds)
{
    qwVirtualStartTick = start_tick_ms;
    nVirtualStartWall = start_wall_seconds;
    qwVirtualTick.store(start_tick_ms);
    bVirtualClock.store(1);
}

void ODPlatClockUseReal(void)
{
    bVirtualClock.store(0);
}

int ODPlatClockIsVirtual(void)
{
    return bVirtualClock.load();
}

void ODPlatClockAdvance(uint64_t ms)
{
    if (bVirtualClock.load()) qwVirtualTick.fetch_add(ms);
}

void ODThreadSleep(uint32_t milliseconds)
{
    ODPlatSleepMs(milliseconds);
}

int ODMakeFilename(char *out, const char *directory, const char *name, size_t out_size)
{
    if (!out || !directory || !name) return ODPLAT_FAIL;
    size_t nd = strlen(directory), nn = strlen(name);
    int need_sep = nd > 0 && directory[nd - 1] != OD_PATH_SEP;
    size_t total = nd + (need_sep ? 1 : 0) + nn + 1;
    if (total > out_size) return ODPLAT_NOFIT;
    memmove(out, directory, nd);
    if (need_sep) out[nd++] = OD_PATH_SEP;
    memmove(out + nd, name, nn);
    out[nd + nn] = '\0';
    return ODPLAT_OK;
}

long ODFileSize(FILE *stream)
{
    long here = ftell(stream);
    if (here < 0) return -1;
    if (fseek(stream, 0, SEEK_END) != 0) return -1;
    long size = ftell(stream);
    fseek(stream, here, SEEK_SET);
    return size;
}

int ODFileAccessMode(const char *path, int mode)
{
    tODDirHandle scan;
    if (!path || !*path) return ODPLAT_FAIL;
    if (ODDirOpen(path, OD_ATTR_READONLY | OD_ATTR_DIRECTORY | OD_ATTR_ARCHIVE, &scan) != ODPLAT_OK)
        return ODPLAT_FAIL;
    ODDirClose(scan);
    if (mode == 0) return ODPLAT_OK;
    const char *how = mode == 2 ? "a" : mode == 4 ? "r" : "r+";
    FILE *f = fopen(path, how);
    if (!f) return ODPLAT_FAIL;
    fclose(f);
    return ODPLAT_OK;
}
