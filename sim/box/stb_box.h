// The simulated set-top box: a private mount namespace whose /proc and /dev
// hold only a scenario's files, so that the real programs run unchanged.
//
// Where the files live. Every scenario file is a staging file in a host
// directory S that the test process owns (S/dev/video, S/dev/mem, S/proc/fb,
// S/proc/stb/vmpeg/0/xres, ...). Inside the box, /dev and /proc are fresh
// tmpfs mounts in which each scenario file is a symbolic link to its staging
// file by absolute path; S stays reachable under its own path because the box
// covers only /dev and /proc. A link is resolved by name at every open, so
//   - in-place writes (pwrite, stb_box_write_at, the stb_box_mem_* helpers)
//     are seen at once, also through a program's live MAP_SHARED mapping of
//     /dev/mem (one inode, one page cache);
//   - a file replaced with stb_box_write (new file, then rename() over the
//     old name) is seen whole by the program's next open, never half
//     written; a descriptor opened before keeps the old contents;
//   - a file removed while the program runs makes its next open fail with
//     ENOENT.
// A file gets its link only if its staging file exists when the box is
// entered; one first created during the run stays invisible to that run.
//
// Besides the scenario files the box holds /dev/null (the host's device,
// bind-mounted), and /proc/self, /proc/thread-self, /proc/sys and
// /proc/<pid of the entering process>, links into a second procfs mounted
// inside the box only, on S/procfs: valgrind, qemu and the sanitizers read
// /proc/self/maps, and LeakSanitizer lists its threads by pid. Only the
// entering process gets a /proc/<pid> link; processes it forks do not.
//
// Mounts exist only inside the namespace (root made private first) and go
// with its last process; nothing is mounted on the host. S is created with
// mkdtemp under $TMPDIR (or /tmp when $TMPDIR is unset or lies under /dev or
// /proc, which the box covers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/box/decoder_memory.h"
#include "sim/common/process.h"

struct stb_box;

// Default size of /dev/mem: the whole 32-bit physical address space, sparse.
constexpr uint64_t STB_MEM_DEFAULT_SIZE = 0x100000000ull;

// --- the box, parent side ---------------------------------------------------

// Whether boxes can be made here (root, unshare, tmpfs, procfs, bind mounts):
// makes a box and runs a small check in it (/bin/sh reads /proc/self/maps
// and writes /dev/null). On false, *why says why.
bool stb_box_possible(std::string *why);

// A box with no scenario files yet. nullptr with errno set on failure.
stb_box *stb_box_make();

// Removes the staging directory and frees the box. Call after every process
// that entered it has ended. Accepts nullptr.
void stb_box_free(stb_box *box);

// The staging directory S.
const char *stb_box_dir(const stb_box *box);

// The staging file of a box path, e.g. "/dev/mem" -> "S/dev/mem".
std::string stb_box_path(const stb_box *box, const char *inside);

// --- running a program in the box -------------------------------------------

// The set-up that turns the process runner's child (process.h) into the
// box, right before the exec: unshare(CLONE_NEWNS), then the mounts,
// directories and links precomputed here. Only system calls, no allocation,
// so that /proc/<pid> matches the program. While a child may be forking,
// give the box no new file names (rewriting existing ones is fine): that
// rebuilds the steps. A failed step is named in words, e.g. "mount tmpfs on
// /proc". The box must outlive every process started with it.
process_setup stb_box_setup(const stb_box *box);

// --- scenario content (parent side) ---------------------------------------
// inside is an absolute path under /dev/ or /proc/, e.g. "/proc/fb" or
// "/proc/stb/vmpeg/0/xres". /dev/null, /proc/self, /proc/thread-self,
// /proc/sys and /proc/<number> are reserved. Each returns 0 or -errno.

// Replaces the file atomically with exactly these bytes (a new staging file
// renamed over the old one). Works while a program runs.
int stb_box_write(stb_box *box, const char *inside, const void *data, size_t size);
int stb_box_write_text(stb_box *box, const char *inside, const std::string &text);

// Writes in place at offset, growing the file if needed; the file must exist.
int stb_box_write_at(stb_box *box, const char *inside, uint64_t offset, const void *data,
                     size_t size);

// Reads exactly size bytes at offset; -EIO when the file is shorter.
int stb_box_read_at(const stb_box *box, const char *inside, uint64_t offset, void *data,
                    size_t size);

// Removes the file; -ENOENT when it was not there.
int stb_box_remove(stb_box *box, const char *inside);

// /proc/stb/vmpeg/0/xres and yres as the kernel writes them: lower-case
// hexadecimal and a line end ("2d0\n").
int stb_box_write_picture_size(stb_box *box, int width, int height);

// /dev/video as one read delivers it: the 16-byte little-endian header
// (width, height, 8 zero bytes), width x height bytes of luma, then a chroma
// plane of width x height bytes whose first width x height / 2 bytes come
// from chroma and whose rest is 0x80. For truncated or hostile pictures write
// raw bytes with stb_box_write(box, "/dev/video", ...).
int stb_box_write_video(stb_box *box, int32_t width, int32_t height, const uint8_t *luma,
                        const uint8_t *chroma);

// The bytes of /dev/video as stb_box_write_video writes them, for a box
// elsewhere (the box VM's). Empty for a width or height of 0 or less, or a
// picture beyond 2^26 pixels.
std::vector<uint8_t> stb_video_bytes(int32_t width, int32_t height, const uint8_t *luma,
                                     const uint8_t *chroma);

// Creates /dev/mem as a sparse file of size bytes, all zero: the file offset
// is the physical address. Touching a mapping beyond its end raises SIGBUS.
int stb_box_make_mem(stb_box *box, uint64_t size = STB_MEM_DEFAULT_SIZE);

// Physical memory through /dev/mem, in place; -ERANGE beyond its end.
int stb_box_mem_write(stb_box *box, uint64_t address, const void *data, size_t size);
int stb_box_mem_read(const stb_box *box, uint64_t address, void *data, size_t size);
// 32-bit words in the box's little-endian order.
int stb_box_mem_write32(stb_box *box, uint64_t address, uint32_t value);
int stb_box_mem_read32(const stb_box *box, uint64_t address, uint32_t *value);

// --- a picture into the box, as each decoder presents it (show.cpp) ---------
// Each returns 0 or -errno. Pictures in memory are written in place, as a
// decoder does: a capture reading meanwhile may see parts of two pictures.

// Pallas, Vulcan: p in /dev/video (stb_box_write_video).
int stb_box_show_video(stb_box *box, const yuv_picture &p);

// BCM7401, BCM4380: p's size in the size files, the picture register block
// describing g with its luma stripes at luma_base (address_noise in the low
// 8 bits of both address words, which are no address), and the striped
// memory of p at memory_at: luma_base itself, or BRCM_DMA_PICTURE where a
// BCM4380's DMA engine would have copied it.
int stb_box_show_broadcom(stb_box *box, const yuv_picture &p, const stripe_geometry &g,
                          uint32_t luma_base, uint32_t memory_at, uint8_t address_noise = 0);

// Xilleon: p's size in the size files and p's tile rows (at most 1920 wide)
// in the picture window, luma from its start, chroma from XILLEON_CHROMA,
// 0 where no picture byte lands in them; the rest of the window stays as it
// is.
int stb_box_show_xilleon(stb_box *box, const yuv_picture &p);
