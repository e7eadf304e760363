// Admin-only descriptors: which entries CreateAdminDACL adds, and what the
// POSIX ACLs they become let real accounts do with files and folders.
#include <fcntl.h>
#include <sys/mount.h>

#include "security_support.h"

namespace {

using namespace sectest;
using krCore::AtlUtils;
using krCore::CDacl;
using krCore::CSecurityDesc;
using krCore::CSid;

std::vector<std::wstring> sids_of(const CDacl& dacl) {
  std::vector<std::wstring> out;
  for (const CDacl::entry& e : dacl.entries()) {
    EXPECT_EQ(e.mask, 0x1F01FFu);
    EXPECT_EQ(e.flags, 3u);
    out.push_back(e.sid.Sid());
  }
  return out;
}

TEST(AdminDacl, EntriesForTheSystemTheCurrentUserAndAnAccount) {
  SKIP_UNLESS_TEST_ACCOUNTS();
  log_recorder log;
  const std::vector<std::wstring> base = {L"S-1-5-32-544", L"S-1-5-18"};
  CDacl dacl;
  // Under the system account the current user adds nothing.
  AtlUtils::CreateAdminDACL(dacl, true, nullptr);
  EXPECT_EQ(sids_of(dacl), base);
  EXPECT_TRUE(log.has(L"AtlUtils::CreateAdminDACL() - add current user flag [true], account name [*NULL*]"));
  EXPECT_TRUE(log.has(L"logged user is local system, ACE was already added."));

  for (const wchar_t* same : {L"sudo", L"Administrators", L"NT AUTHORITY\\System", L"root"}) {
    CDacl d;
    AtlUtils::CreateAdminDACL(d, false, same);
    EXPECT_EQ(sids_of(d), base) << same;
  }
  EXPECT_TRUE(log.has(L"account name [Administrators] ACE was already added."));

  CDacl withUser;
  AtlUtils::CreateAdminDACL(withUser, false, test_accounts::wuser().c_str());
  EXPECT_EQ(sids_of(withUser).size(), 3u);
  EXPECT_EQ(sids_of(withUser)[2], CSid(test_accounts::wuser()).Sid());

  // An unknown account is logged and left out.
  CDacl unknown;
  AtlUtils::CreateAdminDACL(unknown, false, L"no-such-account-here");
  EXPECT_EQ(sids_of(unknown), base);
  EXPECT_TRUE(log.has(L"AtlUtils::CreateAdminDACL() - failed to add user [no-such-account-here] SID "
                      L"to security descriptor with error code [0x"));

  // An unprivileged caller gets an entry of its own; the same account named
  // again adds nothing more.
  const int count = run_as(test_accounts::uid(), 65534, {}, [] {
    CDacl d;
    AtlUtils::CreateAdminDACL(d, true, test_accounts::wuser().c_str());
    return static_cast<int>(d.GetAceCount());
  });
  EXPECT_EQ(count, 3);
}

// True when `uid` can open `path` for reading.
bool can_read(uid_t uid, const fs::path& path) {
  return run_as(uid, 65534, {}, [&] {
           const int fd = ::open(path.c_str(), O_RDONLY);
           return fd >= 0 ? 0 : 1;
         }) == 0;
}

class AdminFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!can_switch_accounts() || !test_accounts::available() || !::getgrnam("sudo"))
      GTEST_SKIP() << "needs root, the test accounts and a sudo group";
    dir = fs::temp_directory_path() / fs::unique_path("qmcore-acl-%%%%%%%%");
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms(0755));
  }
  void TearDown() override {
    boost::system::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  std::string acl_of(const fs::path& p) { return capture("getfacl -cp '" + p.string() + "' 2>&1"); }

  fs::path dir;
};

TEST_F(AdminFiles, FileOnlyAdministratorsTheSystemAndTheNamedAccountCanOpen) {
  const fs::path file = dir / "secret.txt";
  std::ofstream(file.string()) << "secret";
  fs::permissions(file, fs::perms(0644));
  EXPECT_TRUE(can_read(65534, file));

  CSecurityDesc sd;
  AtlUtils::CreateAdminSD(sd, true, true, test_accounts::wuser().c_str());
  sd.apply(file);
  const std::string acl = acl_of(file);
  for (const char* line : {"user::rwx", "user:root:rwx", "group::---", "other::---", "mask::rwx"})
    EXPECT_NE(acl.find(line), std::string::npos) << line << " in\n" << acl;
  EXPECT_NE(acl.find("user:" + test_accounts::user() + ":rwx"), std::string::npos) << acl;
  EXPECT_EQ(acl.find("sudo"), std::string::npos) << acl;
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);

  EXPECT_FALSE(can_read(65534, file));
  EXPECT_TRUE(can_read(test_accounts::uid(), file));
  // A member of the administrators' group that does not run as root holds
  // the group for deny only: neither a named entry nor the owning group's
  // lets it in.
  EXPECT_EQ(run_as(65534, 65534, {::getgrnam("sudo")->gr_gid}, [&] {
              return ::open(file.c_str(), O_RDONLY) >= 0 ? 0 : 1;
            }),
            1);
}

TEST_F(AdminFiles, AdministratorsAsOwningGroupOrEntryAdmitNoLimitedMember) {
  const fs::path file = dir / "root-only.txt";
  std::ofstream(file.string()) << "secret";
  fs::permissions(file, fs::perms(0600));
  const gid_t sudo = ::getgrnam("sudo")->gr_gid;
  CDacl dacl;
  dacl.AddAllowedAce(krCore::Sids::Admins(), krCore::FILE_ALL_ACCESS_MASK, 0);
  CSecurityDesc sd;
  sd.SetGroup(krCore::Sids::Admins());
  sd.SetDacl(dacl);
  sd.apply(file);
  EXPECT_EQ(run_as(65534, 65534, {sudo}, [&] { return ::open(file.c_str(), O_RDONLY) >= 0 ? 0 : 1; }),
            1)
      << acl_of(file);
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_NE(st.st_gid, sudo);
}

TEST_F(AdminFiles, FolderPassesItsEntriesToWhatIsCreatedInside) {
  const fs::path folder = dir / "data";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms(0777));
  CSecurityDesc sd;
  AtlUtils::CreateAdminSD(sd, false, false, nullptr);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  sd.apply(fd);
  ::close(fd);
  const std::string acl = acl_of(folder);
  for (const char* line : {"default:user:root:rwx", "default:other::---", "other::---"})
    EXPECT_NE(acl.find(line), std::string::npos) << line << " in\n" << acl;

  const fs::path inner = folder / "inner.log";
  std::ofstream(inner.string()) << "x";
  const std::string inherited = acl_of(inner);
  EXPECT_NE(inherited.find("user:root:rw"), std::string::npos) << inherited;
  EXPECT_NE(inherited.find("other::---"), std::string::npos) << inherited;
  EXPECT_FALSE(can_read(65534, inner));
  EXPECT_EQ(run_as(65534, 65534, {::getgrnam("sudo")->gr_gid},
                   [&] { return ::open(inner.c_str(), O_RDONLY) >= 0 ? 0 : 1; }),
            1)
      << inherited;
  // Nobody may create anything inside either.
  EXPECT_EQ(run_as(65534, 65534, {}, [&] {
              return ::open((folder / "new").c_str(), O_CREAT | O_WRONLY, 0600) >= 0 ? 0 : 1;
            }),
            1);

  // Entries without inheritance leave the folder without a default list.
  CDacl plain;
  plain.AddAllowedAce(krCore::Sids::System(), 0x1F01FF, 0);
  plain.apply(folder);
  EXPECT_EQ(acl_of(folder).find("default:"), std::string::npos);
}

// A link planted where a descriptor is applied must not hand its target's
// ownership and access list to the descriptor.
TEST_F(AdminFiles, ALinkIsRefusedAndItsTargetKeepsItsOwnerAndList) {
  const fs::path target = dir / "target.txt";
  std::ofstream(target.string()) << "theirs";
  ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
  fs::permissions(target, fs::perms(0644));
  const std::string before = acl_of(target);
  const fs::path link = dir / "planted";
  fs::create_symlink(target, link);

  CSecurityDesc sd;
  AtlUtils::CreateAdminSD(sd, false, true, nullptr);
  EXPECT_EQ(kr_code([&] { sd.apply(link); }), 1920u);
  CDacl dacl;
  AtlUtils::CreateAdminDACL(dacl, false, nullptr);
  EXPECT_EQ(kr_code([&] { dacl.apply(link); }), 1920u);

  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(acl_of(target), before);
  EXPECT_TRUE(can_read(65534, target));
}

TEST_F(AdminFiles, FileSystemWithoutAclSupportAndMissingPaths) {
  CDacl dacl;
  AtlUtils::CreateAdminDACL(dacl, false, nullptr);
  EXPECT_EQ(kr_code([&] { dacl.apply(dir / "missing"); }), 2u);
  const fs::path mnt = dir / "ramfs";
  fs::create_directory(mnt);
  if (::mount("ramfs", mnt.c_str(), "ramfs", 0, nullptr) != 0) GTEST_SKIP() << "cannot mount ramfs";
  const fs::path file = mnt / "f";
  std::ofstream(file.string()) << "x";
  try {
    dacl.apply(file);
    ADD_FAILURE() << "no error on ramfs";
  } catch (const krException& e) {
    EXPECT_EQ(e.code(), 50u);
    EXPECT_STREQ(e.what(), "CDacl: acl_set_file failed.");
  }
  ::umount(mnt.c_str());
}

}  // namespace
