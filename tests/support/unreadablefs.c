/* A file system of one file, "held", whose data cannot be read: every read fails with EIO, as
 * one does on a failing disk or, on Windows, in a range that another process has locked.
 * Usage: unreadablefs <size of held> <mount point> [FUSE options]; fusermount3 -u unmounts. */
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fuse3/fuse.h>
#include <stdlib.h>
#include <string.h>

static off_t held_size;

static int get_attributes(const char *path, struct stat *st, struct fuse_file_info *fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, "/held") != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = held_size;
    return 0;
}

static int list(const char *path, void *buffer, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info *fi,
                enum fuse_readdir_flags flags) {
    (void)offset, (void)fi, (void)flags;
    if (strcmp(path, "/") != 0) return -ENOENT;
    fill(buffer, ".", NULL, 0, 0);
    fill(buffer, "..", NULL, 0, 0);
    fill(buffer, "held", NULL, 0, 0);
    return 0;
}

static int open_file(const char *path, struct fuse_file_info *fi) {
    (void)fi;
    return strcmp(path, "/held") == 0 ? 0 : -ENOENT;
}

static int read_file(const char *path, char *buffer, size_t size, off_t offset, struct fuse_file_info *fi) {
    (void)path, (void)buffer, (void)size, (void)offset, (void)fi;
    return -EIO;
}

static const struct fuse_operations operations = {
    .getattr = get_attributes, .readdir = list, .open = open_file, .read = read_file};

int main(int argc, char *argv[]) {
    if (argc < 3) return 2;
    held_size = (off_t)strtoll(argv[1], NULL, 10);
    argv[1] = argv[0];
    return fuse_main(argc - 1, argv + 1, &operations, NULL);
}
