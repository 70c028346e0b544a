// A pass-through file system that models a power cut. Every metadata step reaches the backing
// folder at once and in order; file data written since the file's last fsync does not. At the
// cut ("before the n-th operation of a kind whose paths match a pattern") the data that never
// reached the disk is lost, as zeros over the unflushed bytes or as the file cut back to its
// size at its last fsync, and from then on every operation fails with EIO. A third mode loses
// nothing: the program alone dies there, and the system writes everything back later.
//
// powercutfs --backing DIR [--log FILE] [--cut-kind KIND --cut-n N [--cut-match REGEX]]
//            [--mode zeros|cut|keep] [--marker FILE] MOUNTPOINT [fuse options]
//
// The log has one line per step: kind, path, second path (rename, link), details, tab-separated.
// A cut's pattern is an extended regular expression over "path<TAB>second path".
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <regex.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

static const char *backing;
static int root_fd = -1;
static FILE *log_file;
static const char *marker;
static enum { LOSE_AS_ZEROS, LOSE_AS_CUT, LOSE_NOTHING } mode = LOSE_AS_ZEROS;
static const char *cut_kind;
static long cut_n, cut_seen;
static regex_t cut_re;
static int cut_has_re;
static int cut_done;

// An open file: its backing fd and the backing inode it is tracked by.
struct handle {
    int fd;
    dev_t dev;
    ino_t ino;
};

// Data of one inode that has not reached the disk: the ranges written since its last fsync
// and, for the cut mode, the bytes those writes replaced below the durable size.
struct undo {
    off_t off;
    size_t len;
    char *bytes;  // NULL: the range was zeros
};
struct dirty {
    dev_t dev;
    ino_t ino;
    int fd;  // a fd of our own, so that renames and unlinks do not lose the inode
    off_t durable_size;
    off_t *ranges;  // pairs of start, end
    size_t nranges, capranges;
    struct undo *undo;
    size_t nundo, capundo;
    struct dirty *next;
};
static struct dirty *dirty_list;

static void *grow(void *p, size_t *cap, size_t need, size_t size) {
    if (need <= *cap) return p;
    size_t n = *cap ? *cap * 2 : 16;
    while (n < need) n *= 2;
    void *q = realloc(p, n * size);
    if (!q) abort();
    *cap = n;
    return q;
}

static const char *rel(const char *path) {
    if (!path) return ".";
    while (*path == '/') ++path;
    return *path ? path : ".";
}

static struct handle *H(struct fuse_file_info *fi) { return (struct handle *)(uintptr_t)fi->fh; }

static void write_marker(const char *line) {
    if (!marker) return;
    int fd = open(marker, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    if (write(fd, line, strlen(line)) < 0) { /* the marker's presence is what counts */ }
    close(fd);
}

static void write_zeros(int fd, off_t off, off_t end) {
    static const char zeros[65536];
    while (off < end) {
        size_t n = end - off < (off_t)sizeof zeros ? (size_t)(end - off) : sizeof zeros;
        ssize_t w = pwrite(fd, zeros, n, off);
        if (w <= 0) return;
        off += w;
    }
}

// What the disk holds after the cut: the unflushed data of every dirty inode is lost.
static void lose_unflushed_data(void) {
    if (mode == LOSE_NOTHING) return;
    for (struct dirty *d = dirty_list; d; d = d->next) {
        struct stat st;
        if (fstat(d->fd, &st) != 0) continue;
        if (mode == LOSE_AS_ZEROS) {
            for (size_t i = 0; i < d->nranges; ++i) {
                off_t a = d->ranges[2 * i], b = d->ranges[2 * i + 1];
                if (b > st.st_size) b = st.st_size;
                if (a < b) write_zeros(d->fd, a, b);
            }
        } else {
            // Latest first, so that every byte ends as it was before the first write since the fsync.
            for (size_t i = d->nundo; i-- > 0;) {
                struct undo *u = &d->undo[i];
                if (u->bytes) {
                    if (pwrite(d->fd, u->bytes, u->len, u->off) < 0) continue;
                } else {
                    write_zeros(d->fd, u->off, u->off + (off_t)u->len);
                }
            }
            if (ftruncate(d->fd, d->durable_size) != 0) continue;
        }
    }
}

// Every step goes through here: refused after the cut, logged, and counted for the cut.
static int step(const char *kind, const char *p1, const char *p2, const char *fmt, ...) {
    if (cut_done) return -EIO;
    char details[128] = "";
    if (fmt) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(details, sizeof details, fmt, ap);
        va_end(ap);
    }
    char line[3 * PATH_MAX];
    snprintf(line, sizeof line, "%s\t%s\t%s\t%s\n", kind, p1 ? p1 : "", p2 ? p2 : "", details);
    if (log_file) {
        fputs(line, log_file);
        fflush(log_file);
    }
    if (cut_kind && strcmp(kind, cut_kind) == 0) {
        int match = 1;
        if (cut_has_re) {
            char subject[2 * PATH_MAX + 2];
            snprintf(subject, sizeof subject, "%s\t%s", p1 ? p1 : "", p2 ? p2 : "");
            match = regexec(&cut_re, subject, 0, NULL, 0) == 0;
        }
        if (match && ++cut_seen == cut_n) {
            lose_unflushed_data();
            cut_done = 1;
            if (log_file) {
                fputs("cut\t\t\t\n", log_file);
                fflush(log_file);
            }
            write_marker(line);
            return -EIO;
        }
    }
    return 0;
}

// Reads, look-ups and listings are not steps of their own, but fail after the cut too.
#define ALIVE() do { if (cut_done) return -EIO; } while (0)
#define STEP(...) do { int refused_ = step(__VA_ARGS__); if (refused_) return refused_; } while (0)

static struct dirty *find_dirty(dev_t dev, ino_t ino) {
    for (struct dirty *d = dirty_list; d; d = d->next)
        if (d->dev == dev && d->ino == ino) return d;
    return NULL;
}

static struct dirty *track(struct handle *h) {
    struct dirty *d = find_dirty(h->dev, h->ino);
    if (d) return d;
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", h->fd);
    int fd = open(self, O_RDWR);
    if (fd < 0) return NULL;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return NULL;
    }
    d = calloc(1, sizeof *d);
    if (!d) abort();
    d->dev = h->dev;
    d->ino = h->ino;
    d->fd = fd;
    d->durable_size = st.st_size;  // whatever stands now reached the disk earlier
    d->next = dirty_list;
    dirty_list = d;
    return d;
}

static void forget(dev_t dev, ino_t ino) {
    for (struct dirty **p = &dirty_list; *p; p = &(*p)->next) {
        if ((*p)->dev != dev || (*p)->ino != ino) continue;
        struct dirty *d = *p;
        *p = d->next;
        close(d->fd);
        for (size_t i = 0; i < d->nundo; ++i) free(d->undo[i].bytes);
        free(d->undo);
        free(d->ranges);
        free(d);
        return;
    }
}

static void add_undo(struct dirty *d, off_t off, size_t len, int zeros) {
    d->undo = grow(d->undo, &d->capundo, d->nundo + 1, sizeof *d->undo);
    struct undo *u = &d->undo[d->nundo++];
    u->off = off;
    u->len = len;
    u->bytes = NULL;
    if (zeros) return;
    u->bytes = calloc(1, len ? len : 1);
    if (!u->bytes) abort();
    ssize_t got = pread(d->fd, u->bytes, len, off);
    (void)got;  // past the end reads as zeros, as calloc left it
}

// A size change is metadata: it reaches the disk at once. Growing over unflushed bytes
// makes them durable as zeros, never with their data.
static void size_changed(dev_t dev, ino_t ino, off_t size) {
    struct dirty *d = find_dirty(dev, ino);
    if (!d) return;
    if (size > d->durable_size) add_undo(d, d->durable_size, (size_t)(size - d->durable_size), 1);
    d->durable_size = size;
}

static int fill_handle(struct handle *h, int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -errno;
    h->fd = fd;
    h->dev = st.st_dev;
    h->ino = st.st_ino;
    return 0;
}

static void *pc_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    (void)conn;
    cfg->use_ino = 1;      // the file ID Wine reports is st_ino
    cfg->readdir_ino = 1;
    cfg->hard_remove = 1;  // no .fuse_hidden files: open files are reached by their handle
    // Nothing answered from the kernel's caches: after the cut every step must fail.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    return NULL;
}

static int pc_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
    ALIVE();
    int r = fi ? fstat(H(fi)->fd, st) : fstatat(root_fd, rel(path), st, AT_SYMLINK_NOFOLLOW);
    return r == 0 ? 0 : -errno;
}

static int pc_access(const char *path, int mask) {
    ALIVE();
    return faccessat(root_fd, rel(path), mask, 0) == 0 ? 0 : -errno;
}

static int pc_readlink(const char *path, char *buf, size_t size) {
    ALIVE();
    ssize_t n = readlinkat(root_fd, rel(path), buf, size - 1);
    if (n < 0) return -errno;
    buf[n] = '\0';
    return 0;
}

static int pc_mknod(const char *path, mode_t m, dev_t rdev) {
    STEP("mknod", path, NULL, "%o", m);
    return mknodat(root_fd, rel(path), m, rdev) == 0 ? 0 : -errno;
}

static int pc_mkdir(const char *path, mode_t m) {
    STEP("mkdir", path, NULL, "%o", m);
    return mkdirat(root_fd, rel(path), m) == 0 ? 0 : -errno;
}

static int pc_unlink(const char *path) {
    STEP("unlink", path, NULL, NULL);
    return unlinkat(root_fd, rel(path), 0) == 0 ? 0 : -errno;
}

static int pc_rmdir(const char *path) {
    STEP("rmdir", path, NULL, NULL);
    return unlinkat(root_fd, rel(path), AT_REMOVEDIR) == 0 ? 0 : -errno;
}

static int pc_symlink(const char *target, const char *path) {
    STEP("symlink", path, target, NULL);
    return symlinkat(target, root_fd, rel(path)) == 0 ? 0 : -errno;
}

static int pc_rename(const char *from, const char *to, unsigned int flags) {
    STEP("rename", from, to, "%u", flags);
    return renameat2(root_fd, rel(from), root_fd, rel(to), flags) == 0 ? 0 : -errno;
}

static int pc_link(const char *from, const char *to) {
    STEP("link", from, to, NULL);
    return linkat(root_fd, rel(from), root_fd, rel(to), 0) == 0 ? 0 : -errno;
}

static int pc_chmod(const char *path, mode_t m, struct fuse_file_info *fi) {
    STEP("chmod", path, NULL, "%o", m);
    int r = fi ? fchmod(H(fi)->fd, m) : fchmodat(root_fd, rel(path), m, 0);
    return r == 0 ? 0 : -errno;
}

static int pc_chown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi) {
    STEP("chown", path, NULL, "%d:%d", (int)uid, (int)gid);
    int r = fi ? fchown(H(fi)->fd, uid, gid) : fchownat(root_fd, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW);
    return r == 0 ? 0 : -errno;
}

static int pc_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
    STEP("truncate", path, NULL, "%lld", (long long)size);
    int fd = fi ? H(fi)->fd : openat(root_fd, rel(path), O_WRONLY);
    if (fd < 0) return -errno;
    int r = ftruncate(fd, size) == 0 ? 0 : -errno;
    struct stat st;
    if (r == 0 && fstat(fd, &st) == 0) size_changed(st.st_dev, st.st_ino, size);
    if (!fi) close(fd);
    return r;
}

static int pc_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi) {
    STEP("utimens", path, NULL, "%lld %lld", (long long)tv[0].tv_sec, (long long)tv[1].tv_sec);
    int r = fi ? futimens(H(fi)->fd, tv) : utimensat(root_fd, rel(path), tv, AT_SYMLINK_NOFOLLOW);
    return r == 0 ? 0 : -errno;
}

static int open_file(const char *path, int flags, mode_t m, int creating, struct fuse_file_info *fi) {
    // The kernel gives every write its offset; an appending backing fd would ignore it.
    int fd = creating ? openat(root_fd, rel(path), (flags & ~O_APPEND) | O_CREAT, m)
                      : openat(root_fd, rel(path), flags & ~(O_APPEND | O_CREAT | O_EXCL));
    if (fd < 0) return -errno;
    struct handle *h = malloc(sizeof *h);
    if (!h) abort();
    int r = fill_handle(h, fd);
    if (r != 0) {
        close(fd);
        free(h);
        return r;
    }
    if (flags & O_TRUNC) size_changed(h->dev, h->ino, 0);
    fi->fh = (uintptr_t)h;
    return 0;
}

static int pc_create(const char *path, mode_t m, struct fuse_file_info *fi) {
    STEP("create", path, NULL, "%o %x", m, fi->flags);
    return open_file(path, fi->flags, m, 1, fi);
}

static int pc_open(const char *path, struct fuse_file_info *fi) {
    if (fi->flags & O_TRUNC) {
        STEP("truncate", path, NULL, "open");
    } else {
        ALIVE();
    }
    return open_file(path, fi->flags, 0, 0, fi);
}

static int pc_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
    (void)path;
    ALIVE();
    ssize_t n = pread(H(fi)->fd, buf, size, off);
    return n < 0 ? -errno : (int)n;
}

static int pc_write(const char *path, const char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
    STEP("write", path, NULL, "%lld %zu", (long long)off, size);
    struct handle *h = H(fi);
    struct dirty *d = track(h);
    if (!d) return -EIO;
    if (mode == LOSE_AS_CUT && off < d->durable_size) {
        off_t end = off + (off_t)size < d->durable_size ? off + (off_t)size : d->durable_size;
        add_undo(d, off, (size_t)(end - off), 0);
    }
    ssize_t n = pwrite(h->fd, buf, size, off);
    if (n < 0) return -errno;
    off_t a = off, b = off + n;
    if (d->nranges && d->ranges[2 * d->nranges - 1] >= a && d->ranges[2 * d->nranges - 2] <= a) {
        if (b > d->ranges[2 * d->nranges - 1]) d->ranges[2 * d->nranges - 1] = b;
    } else {
        d->ranges = grow(d->ranges, &d->capranges, 2 * (d->nranges + 1), sizeof *d->ranges);
        d->ranges[2 * d->nranges] = a;
        d->ranges[2 * d->nranges + 1] = b;
        ++d->nranges;
    }
    return (int)n;
}

static int pc_statfs(const char *path, struct statvfs *st) {
    (void)path;
    ALIVE();
    return fstatvfs(root_fd, st) == 0 ? 0 : -errno;
}

static int pc_flush(const char *path, struct fuse_file_info *fi) {
    (void)path;
    (void)fi;
    ALIVE();
    return 0;
}

static int pc_release(const char *path, struct fuse_file_info *fi) {
    (void)path;
    struct handle *h = H(fi);
    close(h->fd);
    free(h);
    return 0;
}

static int pc_fsync(const char *path, int datasync, struct fuse_file_info *fi) {
    STEP("fsync", path, NULL, "%s", datasync ? "data" : "all");
    // What counts is the model: the data is now on the disk.
    forget(H(fi)->dev, H(fi)->ino);
    return 0;
}

static int pc_fallocate(const char *path, int m, off_t off, off_t len, struct fuse_file_info *fi) {
    STEP("fallocate", path, NULL, "%d %lld %lld", m, (long long)off, (long long)len);
    struct handle *h = H(fi);
    if (fallocate(h->fd, m, off, len) != 0) return -errno;
    struct stat st;
    if (fstat(h->fd, &st) == 0) size_changed(h->dev, h->ino, st.st_size);
    return 0;
}

static void full_path(char *out, size_t size, const char *path) {
    snprintf(out, size, "%s/%s", backing, rel(path));
}

static int pc_setxattr(const char *path, const char *name, const char *value, size_t size, int flags) {
    STEP("setxattr", path, NULL, "%s", name);
    char p[PATH_MAX];
    full_path(p, sizeof p, path);
    return lsetxattr(p, name, value, size, flags) == 0 ? 0 : -errno;
}

static int pc_getxattr(const char *path, const char *name, char *value, size_t size) {
    ALIVE();
    char p[PATH_MAX];
    full_path(p, sizeof p, path);
    ssize_t n = lgetxattr(p, name, value, size);
    return n < 0 ? -errno : (int)n;
}

static int pc_listxattr(const char *path, char *list, size_t size) {
    ALIVE();
    char p[PATH_MAX];
    full_path(p, sizeof p, path);
    ssize_t n = llistxattr(p, list, size);
    return n < 0 ? -errno : (int)n;
}

static int pc_removexattr(const char *path, const char *name) {
    STEP("removexattr", path, NULL, "%s", name);
    char p[PATH_MAX];
    full_path(p, sizeof p, path);
    return lremovexattr(p, name) == 0 ? 0 : -errno;
}

static int pc_opendir(const char *path, struct fuse_file_info *fi) {
    ALIVE();
    int fd = openat(root_fd, rel(path), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -errno;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        int e = errno;
        close(fd);
        return -e;
    }
    fi->fh = (uintptr_t)dir;
    return 0;
}

static int pc_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t off, struct fuse_file_info *fi,
                      enum fuse_readdir_flags flags) {
    (void)path;
    (void)off;
    (void)flags;
    ALIVE();
    DIR *dir = (DIR *)(uintptr_t)fi->fh;
    rewinddir(dir);
    for (struct dirent *e; (e = readdir(dir));) {
        struct stat st = {0};
        st.st_ino = e->d_ino;
        st.st_mode = (mode_t)e->d_type << 12;
        if (filler(buf, e->d_name, &st, 0, 0)) break;
    }
    return 0;
}

static int pc_releasedir(const char *path, struct fuse_file_info *fi) {
    (void)path;
    closedir((DIR *)(uintptr_t)fi->fh);
    return 0;
}

static int pc_fsyncdir(const char *path, int datasync, struct fuse_file_info *fi) {
    (void)fi;
    STEP("fsyncdir", path, NULL, "%s", datasync ? "data" : "all");
    return 0;
}

static const struct fuse_operations ops = {
    .init = pc_init,
    .getattr = pc_getattr,
    .access = pc_access,
    .readlink = pc_readlink,
    .mknod = pc_mknod,
    .mkdir = pc_mkdir,
    .unlink = pc_unlink,
    .rmdir = pc_rmdir,
    .symlink = pc_symlink,
    .rename = pc_rename,
    .link = pc_link,
    .chmod = pc_chmod,
    .chown = pc_chown,
    .truncate = pc_truncate,
    .utimens = pc_utimens,
    .create = pc_create,
    .open = pc_open,
    .read = pc_read,
    .write = pc_write,
    .statfs = pc_statfs,
    .flush = pc_flush,
    .release = pc_release,
    .fsync = pc_fsync,
    .fallocate = pc_fallocate,
    .setxattr = pc_setxattr,
    .getxattr = pc_getxattr,
    .listxattr = pc_listxattr,
    .removexattr = pc_removexattr,
    .opendir = pc_opendir,
    .readdir = pc_readdir,
    .releasedir = pc_releasedir,
    .fsyncdir = pc_fsyncdir,
};

static int usage(void) {
    fprintf(stderr, "usage: powercutfs --backing DIR [--log FILE] [--cut-kind KIND --cut-n N [--cut-match REGEX]]\n"
                    "                  [--mode zeros|cut|keep] [--marker FILE] MOUNTPOINT [fuse options]\n");
    return 2;
}

int main(int argc, char **argv) {
    char **rest = calloc((size_t)argc + 3, sizeof *rest);
    if (!rest) return 1;
    int nrest = 0;
    rest[nrest++] = argv[0];
    const char *log_path = NULL;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (!strcmp(a, "--backing") && v) backing = argv[++i];
        else if (!strcmp(a, "--log") && v) log_path = argv[++i];
        else if (!strcmp(a, "--cut-kind") && v) cut_kind = argv[++i];
        else if (!strcmp(a, "--cut-n") && v) cut_n = atol(argv[++i]);
        else if (!strcmp(a, "--cut-match") && v) {
            if (regcomp(&cut_re, argv[++i], REG_EXTENDED | REG_NOSUB) != 0) return usage();
            cut_has_re = 1;
        } else if (!strcmp(a, "--mode") && v) {
            ++i;
            if (!strcmp(v, "zeros")) mode = LOSE_AS_ZEROS;
            else if (!strcmp(v, "cut")) mode = LOSE_AS_CUT;
            else if (!strcmp(v, "keep")) mode = LOSE_NOTHING;
            else return usage();
        } else if (!strcmp(a, "--marker") && v) marker = argv[++i];
        else rest[nrest++] = argv[i];
    }
    if (!backing || (cut_kind && cut_n < 1)) return usage();
    // The file system runs from "/": names given relative to here must stay where they were.
    static char backing_abs[PATH_MAX], marker_abs[2 * PATH_MAX + 2];
    if (!realpath(backing, backing_abs)) {
        perror(backing);
        return 1;
    }
    backing = backing_abs;
    if (marker && marker[0] != '/') {
        char here[PATH_MAX];
        if (!getcwd(here, sizeof here)) return 1;
        snprintf(marker_abs, sizeof marker_abs, "%s/%s", here, marker);
        marker = marker_abs;
    }
    root_fd = open(backing, O_RDONLY | O_DIRECTORY);
    if (root_fd < 0) {
        perror(backing);
        return 1;
    }
    if (log_path) {
        log_file = fopen(log_path, "w");
        if (!log_file) {
            perror(log_path);
            return 1;
        }
    }
    // One thread: the steps reach the backing folder in exactly the order they came.
    rest[nrest++] = "-s";
    rest[nrest++] = "-f";
    return fuse_main(nrest, rest, &ops, NULL);
}
