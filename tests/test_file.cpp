// Files written by name: one writer, one rule for links, and nothing harmed when a write fails.
#include <tessera.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace {

class FileWrites : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/tessera-files-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        if (DIR *d = opendir(dir_.c_str())) {
            while (dirent *e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") unlink(at(e->d_name).c_str());
            closedir(d);
        }
        rmdir(dir_.c_str());
    }
    std::string at(const std::string &name) const { return dir_ + "/" + name; }
    static std::string slurp(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void spit(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    int entries() const {
        int n = 0;
        if (DIR *d = opendir(dir_.c_str())) {
            while (dirent *e = readdir(d))
                n += e->d_name[0] != '.' || std::string(e->d_name).find("tessera") != std::string::npos;
            closedir(d);
        }
        return n;
    }
    static int write_text(FILE *out, void *text) { return std::fputs(static_cast<const char *>(text), out) >= 0; }
    static int refuse(FILE *out, void *) {
        std::fputs("half", out);
        return 0;
    }

    std::string dir_;
};

} // namespace

TEST_F(FileWrites, ALinkIsFollowedAndTheFileItNamesReplacedBesideItself) {
    spit(at("target.ptl"), "old");
    chmod(at("target.ptl").c_str(), 0640);
    ASSERT_EQ(symlink("target.ptl", at("link.ptl").c_str()), 0);
    PointList p = ptlNew(false, 0, 0, 4, 4, nullptr);
    ptlAddElem(p, ptlNewElem(PTL_POINT, RGB{0, 0, 0}, 1, 1, 2, 0, 0));
    ASSERT_EQ(ptlSave(p, at("link.ptl").c_str()), 0) << tessera_last_error();
    ptlFree(p);
    struct stat st;
    ASSERT_EQ(lstat(at("link.ptl").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(at("target.ptl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(slurp(at("target.ptl")).rfind("PTL", 0), 0u);
    EXPECT_EQ(entries(), 2); // no temporary left
}

TEST_F(FileWrites, OtherHardLinksSeeTheNewContentsWrittenInPlace) {
    spit(at("a.txt"), "old contents, longer than the new");
    ASSERT_EQ(link(at("a.txt").c_str(), at("b.txt").c_str()), 0);
    struct stat before, after;
    ASSERT_EQ(stat(at("a.txt").c_str(), &before), 0);
    char text[] = "new";
    ASSERT_EQ(tessera_write_file(at("a.txt").c_str(), write_text, text), 0) << tessera_last_error();
    ASSERT_EQ(stat(at("a.txt").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(slurp(at("b.txt")), "new");
    EXPECT_EQ(entries(), 2);
}

TEST_F(FileWrites, AFailedWriteLeavesWhatWasThere) {
    spit(at("keep.txt"), "old");
    ASSERT_EQ(link(at("keep.txt").c_str(), at("other.txt").c_str()), 0);
    for (const char *name : {"keep.txt", "other.txt", "new.txt"}) {
        EXPECT_EQ(tessera_write_file(at(name).c_str(), refuse, nullptr), -1) << name;
        EXPECT_EQ(slurp(at("keep.txt")), "old") << name;
    }
    EXPECT_EQ(access(at("new.txt").c_str(), F_OK), -1);
    EXPECT_EQ(entries(), 2);
    // A point list that cannot be saved leaves the file too.
    PointList p = ptlNew(false, 0, 0, 1, 1, nullptr);
    p->width = 4e-7f; // would not read back
    EXPECT_EQ(ptlSave(p, at("keep.txt").c_str()), -1);
    ptlFree(p);
    EXPECT_EQ(slurp(at("keep.txt")), "old");
}

TEST_F(FileWrites, WhatCannotBeWrittenIsRefusedWithTheSystemsReason) {
    char text[] = "x";
    EXPECT_EQ(tessera_write_file(dir_.c_str(), write_text, text), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(tessera_last_error_code(), TESSERA_ERROR_FILE);
    EXPECT_EQ(tessera_write_file(at("no/such/dir.txt").c_str(), write_text, text), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(std::string(tessera_last_error()).find("no/such/dir.txt"), std::string::npos) << tessera_last_error();
    EXPECT_EQ(tessera_write_file("", write_text, text), -1);
    EXPECT_EQ(tessera_write_file(nullptr, write_text, text), -1);
    EXPECT_EQ(tessera_last_error_code(), TESSERA_ERROR_ARGUMENT);
    // A dangling link's name gets the new file.
    ASSERT_EQ(symlink("nowhere/x", at("dangling").c_str()), 0);
    ASSERT_EQ(tessera_write_file(at("dangling").c_str(), write_text, text), 0) << tessera_last_error();
    EXPECT_EQ(slurp(at("dangling")), "x");
}

namespace {

TEST_F(FileWrites, ATemporaryFileHasNoNameAndGoesWhenClosed) {
    const char *before = std::getenv("TMPDIR");
    const std::string saved = before ? before : "";
    for (const std::string &tmpdir : {dir_, std::string("/nonexistent/tessera")}) {
        setenv("TMPDIR", tmpdir.c_str(), 1);
        FILE *f = tessera_temporary_file();
        ASSERT_NE(f, nullptr) << tessera_last_error();
        EXPECT_EQ(entries(), 0); // in $TMPDIR (or /tmp when it cannot be made there), without a name
        ASSERT_GE(std::fputs("scratch", f), 0);
        std::rewind(f);
        char back[16] = {};
        EXPECT_EQ(std::fread(back, 1, sizeof back, f), 7u);
        EXPECT_STREQ(back, "scratch");
        std::fclose(f);
    }
    if (before) setenv("TMPDIR", saved.c_str(), 1);
    else unsetenv("TMPDIR");
}

} // namespace
