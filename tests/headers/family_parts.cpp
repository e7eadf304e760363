// The system-utilities family header is the whole family: a program that
// includes only <krcore/sysutil.h> sees the command line, versions,
// processes and deletion parts too. Compiled with the other header checks;
// a part the family header leaves out fails the build here.
#include <krcore/sysutil.h>

#include <type_traits>
#include <vector>

namespace {

static_assert(std::is_class_v<krCore::CommandLineArgs>);
static_assert(std::is_class_v<krCore::version>);
static_assert(std::is_class_v<krCore::fileversion>);
static_assert(std::is_same_v<decltype(&krCore::EnumerateProcesses),
                             unsigned long (*)(std::vector<unsigned long>&)>);
static_assert(std::is_same_v<decltype(&krCore::DeleteWithRetrySynchronous),
                             bool (*)(const boost::filesystem::path&)>);

}  // namespace
