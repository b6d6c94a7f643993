// The driver as `cmake --install` and the Debian package (built by
// dpkg-buildpackage, tools/build-package) lay it out: paths, modes and
// ownership the scheduler insists on, the models once (as driver
// information), PPD files built from it that cupstestppd accepts, a package
// without maintainer scripts, hardened programs, and none of the test doubles
// that would shadow the maker's software.
#include <algorithm>
#include <ftw.h>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "process.h"

namespace
{

const std::string build_dir = VELOKIT_BUILD_DIR;
const std::string stage_dir = VELOKIT_STAGE_DIR;
const std::string package_dir = VELOKIT_PACKAGE_DIR;

struct installed_file {
    std::string path; // below the prefix
    mode_t mode;
};

// Everything the product installs, and nothing else.
const std::vector<installed_file> product_files = {
    {"lib/cups/filter/rastertovelokit", 0755},
    // No other-execute bit: the scheduler then runs the backend as root.
    {"lib/cups/backend/velokitlp", 0744},
    {"share/cups/drv/velokit.drv", 0644},
    {"share/cups/ppd-updaters/printer-driver-velokit.ppd-updater", 0644},
    {"share/man/man8/rastertovelokit.8.gz", 0644},
    {"share/man/man8/velokitlp.8.gz", 0644},
};

// The printer application's, where PAPPL was found.
const std::vector<installed_file> app_files = {
#ifdef VELOKIT_APP_BUILT
    {"sbin/velokit-printer-app", 0755},
    {"lib/systemd/system/velokit-printer-app.service", 0644},
    {"share/man/man8/velokit-printer-app.8.gz", 0644},
#endif
};

// Its Debian package, from the root: the unit where this release's systemd
// looks.
const std::vector<installed_file> app_package_files = {
    {"usr/sbin/velokit-printer-app", 0755},
    {"lib/systemd/system/velokit-printer-app.service", 0644},
    {"usr/share/man/man8/velokit-printer-app.8.gz", 0644},
    {"usr/share/doc/velokit-printer-app/changelog.gz", 0644},
    {"usr/share/doc/velokit-printer-app/copyright", 0644},
    {"usr/share/lintian/overrides/velokit-printer-app", 0644},
    // Its logins, checked through PAM.
    {"etc/pam.d/velokit-printer-app", 0644},
};

// What every Debian package adds to the product.
const std::vector<installed_file> package_files = {
    {"share/doc/printer-driver-velokit/changelog.gz", 0644},
    {"share/doc/printer-driver-velokit/copyright", 0644},
    {"share/lintian/overrides/printer-driver-velokit", 0644},
};

struct tree_entry {
    mode_t mode;
    uid_t uid;
    bool directory;
};
std::map<std::string, tree_entry> *walked = nullptr;
std::size_t walk_root_length = 0;

int walk_entry(const char *path, const struct stat *st, int, FTW *)
{
    (*walked)[std::string(path).substr(walk_root_length)] = {
        static_cast<mode_t>(st->st_mode & 07777), st->st_uid, S_ISDIR(st->st_mode)};
    return 0;
}

std::map<std::string, tree_entry> walk(const std::string &root)
{
    std::map<std::string, tree_entry> entries;
    walked = &entries;
    walk_root_length = root.size();
    nftw(root.c_str(), walk_entry, 16, FTW_PHYS);
    walked = nullptr;
    return entries;
}

// The files below root are exactly the given ones (the product's unless
// told), under prefix, with their modes; every directory on the way is 0755,
// and all is root's when root installed it.
void expect_layout(const std::string &root, const std::string &prefix,
                   const std::vector<installed_file> &extra = app_files,
                   const std::vector<installed_file> &base = product_files)
{
    std::map<std::string, tree_entry> entries = walk(root);
    std::vector<std::string> files, expected;
    for (const auto &[path, entry] : entries) {
        if (entry.directory) {
            if (!path.empty()) {
                EXPECT_EQ(entry.mode, 0755u) << path;
            }
        } else {
            files.push_back(path);
        }
        if (geteuid() == 0) {
            EXPECT_EQ(entry.uid, 0u) << path;
        }
    }
    std::vector<installed_file> all = base;
    all.insert(all.end(), extra.begin(), extra.end());
    for (const auto &f : all) {
        std::string path = prefix + "/" + f.path;
        expected.push_back(path);
        auto found = entries.find(path);
        if (found != entries.end()) {
            EXPECT_EQ(found->second.mode, f.mode) << path;
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files, expected);
}

std::string fresh_dir(const std::string &name)
{
    std::string templ = build_dir + "/tests/" + name + ".XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("cannot make " + templ);
    return templ;
}

void remove_tree(const std::string &dir)
{
    process_run({{"/bin/rm", "-rf", dir}});
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

TEST(Install, PutsTheDriverBelowThePrefixWithItsModes)
{
    SCOPED_TRACE("staged with the default prefix");
    expect_layout(stage_dir, "/usr");

    for (const char *prefix : {"/usr", "/opt/velokit"}) {
        SCOPED_TRACE(prefix);
        std::string root = fresh_dir("install");
        process_result r = process_run(
            {{VELOKIT_CMAKE, "--install", build_dir, "--prefix", prefix}, "", {"DESTDIR=" + root}});
        ASSERT_EQ(r.status, 0) << r.err;
        expect_layout(root, prefix);
        remove_tree(root);
    }
}

// The PPD files the build makes from the driver information, for lpadmin -P.
TEST(Install, EveryPpdPassesCupstestppdWithTheFilterInstalled)
{
    std::string ppd_dir = build_dir + "/ppd";
    for (const char *name : {"orvexv1.ppd", "orvexv2.ppd", "orvexv3.ppd"}) {
        SCOPED_TRACE(name);
        // The staging root holds the filter that *cupsFilter names.
        process_result r =
            process_run({{"/usr/bin/cupstestppd", "-R", stage_dir, ppd_dir + "/" + name}});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(": PASS"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("WARN"), std::string::npos) << r.out;
    }
    // Without the filter the same PPD must fail: the check is real.
    std::string empty_root = fresh_dir("empty-root");
    process_result missing =
        process_run({{"/usr/bin/cupstestppd", "-R", empty_root, ppd_dir + "/orvexv1.ppd"}});
    EXPECT_NE(missing.status, 0) << missing.out;
    remove_tree(empty_root);
}

// The package the test fixture built, and its files as dpkg -x unpacked them.
class Package : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        for (const auto &line : lines(process_run({{"/bin/ls", package_dir}}).out)) {
            if (line.size() <= 4 || line.compare(line.size() - 4, 4, ".deb") != 0)
                continue;
            (line.rfind("velokit-printer-app_", 0) == 0 ? app_deb : deb) = package_dir + "/" + line;
        }
        ASSERT_FALSE(deb.empty()) << "no package in " << package_dir;
        root = package_dir + "/root";
    }
    static std::string field(const char *name, const std::string &package = deb)
    {
        return process_run({{"/usr/bin/dpkg-deb", "-f", package, name}}).out;
    }
    static inline std::string deb, root, app_deb;
};

TEST_F(Package, InstallsThePathsAndModes)
{
    expect_layout(root, "/usr", package_files, product_files);
    // Owners as the package records them, whoever unpacks it.
    for (const auto &line : lines(process_run({{"/usr/bin/dpkg-deb", "-c", deb}}).out))
        EXPECT_NE(line.find(" root/root "), std::string::npos) << line;
}

TEST_F(Package, NamesItselfAndDependsOnCupsAndItsLibraries)
{
    EXPECT_EQ(field("Package"), "printer-driver-velokit\n");
    EXPECT_EQ(field("Section"), "text\n");
    EXPECT_EQ(field("Priority"), "optional\n");
    std::string depends = field("Depends");
    for (const char *needed : {"cups", "libcups2", "libc6"}) {
        bool listed = false;
        std::istringstream in(depends);
        for (std::string entry; std::getline(in, entry, ',');) {
            entry.erase(0, entry.find_first_not_of(' '));
            listed = listed || entry.substr(0, entry.find_first_of(" \n")) == needed;
        }
        EXPECT_TRUE(listed) << needed << " missing from: " << depends;
    }
}

// The printer application in a package of its own, beside the driver's.
TEST_F(Package, ThePrinterApplicationHasAPackageOfItsOwn)
{
    ASSERT_FALSE(app_deb.empty()) << "no velokit-printer-app package in " << package_dir;
    expect_layout(package_dir + "/root-app", "", app_package_files, {});
    EXPECT_EQ(field("Package", app_deb), "velokit-printer-app\n");
    std::string depends = field("Depends", app_deb);
    for (const char *needed : {"ghostscript", "libpappl1", "libcups2"})
        EXPECT_NE(depends.find(needed), std::string::npos)
            << needed << " missing from: " << depends;
    std::string program = package_dir + "/root-app/usr/sbin/velokit-printer-app";
    process_result verdict =
        process_run({{"/usr/bin/hardening-check", "--nocfprotection", program}});
    EXPECT_EQ(verdict.status, 0) << verdict.out << verdict.err;
}

TEST_F(Package, HasNoMaintainerScripts)
{
    process_result r =
        process_run({{"/bin/sh", "-c", "dpkg-deb --ctrl-tarfile \"$0\" | tar -t", deb}});
    ASSERT_EQ(r.status, 0) << r.err;
    // dpkg-deb lists the archive's own directory as "./".
    std::vector<std::string> members = lines(r.out);
    std::erase(members, "./");
    std::sort(members.begin(), members.end());
    EXPECT_EQ(members, (std::vector<std::string>{"./control", "./md5sums"}));
}

TEST_F(Package, ProgramsAreHardened)
{
    struct hardening_check {
        const char *name;
        const char *readelf_option;
        const char *needle;
    };
    const hardening_check checks[] = {
        {"position independent", "-h", "DYN (Position-Independent Executable file)"},
        {"read-only relocations", "-l", "GNU_RELRO"},
        {"immediate binding", "-d", "BIND_NOW"},
        {"stack protector", "--dyn-syms", "__stack_chk_fail"},
        {"fortified calls", "--dyn-syms", "_chk@"},
    };
    for (const char *program : {"filter/rastertovelokit", "backend/velokitlp"}) {
        std::string path = root + "/usr/lib/cups/" + program;
        for (const auto &c : checks) {
            SCOPED_TRACE(std::string(program) + ": " + c.name);
            process_result r = process_run({{"/usr/bin/readelf", "-W", c.readelf_option, path}});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find(c.needle), std::string::npos);
        }
        // Debian's own verdict; Debian 12 asks no control-flow protection.
        process_result verdict =
            process_run({{"/usr/bin/hardening-check", "--nocfprotection", path}});
        EXPECT_EQ(verdict.status, 0) << verdict.out << verdict.err;
    }
}

} // namespace
