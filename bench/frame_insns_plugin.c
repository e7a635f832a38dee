/* A QEMU TCG plugin for qemu-user that counts the guest's instructions and
 * marks frame boundaries: every time the program opens a file read-write
 * with O_DSYNC (huecast's open of /dev/mem, the first step of every frame,
 * and the only such open it makes), it appends the number of instructions
 * executed so far as one line to the file named by its "out" argument:
 *
 *   qemu-mipsel -plugin ./libframe_insns.so,out=FILE PROGRAM
 *
 * The difference of two successive lines is what one whole frame cost in
 * user space. Counting is per translated block, added inline when the block
 * runs; the program is single-threaded. MIPS o32 numbering and flags. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <qemu-plugin.h>

QEMU_PLUGIN_EXPORT int qemu_plugin_version = QEMU_PLUGIN_VERSION;

enum {
    MIPS_O32_OPEN = 4005,   /* open(path, flags, mode) */
    MIPS_O32_OPENAT = 4288, /* openat(dirfd, path, flags, mode) */
    MIPS_O_ACCMODE = 3,
    MIPS_O_RDWR = 2,
    MIPS_O_DSYNC = 0x10,
};

static uint64_t executed;
static FILE *out;

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed,
                                             qemu_plugin_tb_n_insns(tb));
}

static int is_frame_open(int64_t num, uint64_t a2, uint64_t a3)
{
    uint64_t flags;
    if (num == MIPS_O32_OPEN)
        flags = a2;
    else if (num == MIPS_O32_OPENAT)
        flags = a3;
    else
        return 0;
    return (flags & MIPS_O_ACCMODE) == MIPS_O_RDWR && (flags & MIPS_O_DSYNC) != 0;
}

static void on_syscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1,
                       uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7,
                       uint64_t a8)
{
    (void)id, (void)vcpu, (void)a1, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
    if (!is_frame_open(num, a2, a3))
        return;
    fprintf(out, "%llu\n", (unsigned long long)executed);
    fflush(out);
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                                           char **argv)
{
    (void)info;
    const char *path = NULL;
    for (int i = 0; i < argc; i++)
        if (strncmp(argv[i], "out=", 4) == 0)
            path = argv[i] + 4;
    if (path == NULL) {
        fprintf(stderr, "frame_insns: no out=FILE argument\n");
        return -1;
    }
    out = fopen(path, "w");
    if (out == NULL) {
        perror(path);
        return -1;
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_vcpu_syscall_cb(id, on_syscall);
    return 0;
}
