// The Linux half of the system's error texts: English texts for the Win32
// codes, HRESULTs and NTSTATUS values that the library produces, maps error
// numbers onto, or reports from hardware faults.
//
// The texts are those the platform's message tables give, each ending in
// CR LF as the platform returns them; callers trim. A code missing here takes
// the callers' fallback paths, so the table may grow without changing them.
#include "foundation/errors.h"

#include <algorithm>
#include <iterator>

namespace krCore::detail {
namespace {

struct Entry {
  unsigned long code;
  const wchar_t* text;
};

// Sorted by code: looked up by binary search.
constexpr Entry kTable[] = {
    {0, L"The operation completed successfully.\r\n"},
    {1, L"Incorrect function.\r\n"},
    {2, L"The system cannot find the file specified.\r\n"},
    {3, L"The system cannot find the path specified.\r\n"},
    {4, L"The system cannot open the file.\r\n"},
    {5, L"Access is denied.\r\n"},
    {6, L"The handle is invalid.\r\n"},
    {8, L"Not enough memory resources are available to process this command.\r\n"},
    {11, L"An attempt was made to load a program with an incorrect format.\r\n"},
    {13, L"The data is invalid.\r\n"},
    {14, L"Not enough memory resources are available to complete this operation.\r\n"},
    {17, L"The system cannot move the file to a different disk drive.\r\n"},
    {18, L"There are no more files.\r\n"},
    {19, L"The media is write protected.\r\n"},
    {21, L"The device is not ready.\r\n"},
    {32, L"The process cannot access the file because it is being used by another process.\r\n"},
    {33,
     L"The process cannot access the file because another process has locked a portion of the "
     L"file.\r\n"},
    {38, L"Reached the end of the file.\r\n"},
    {39, L"The disk is full.\r\n"},
    {50, L"The request is not supported.\r\n"},
    {53, L"The network path was not found.\r\n"},
    {55, L"The specified network resource or device is no longer available.\r\n"},
    {80, L"The file exists.\r\n"},
    {87, L"The parameter is incorrect.\r\n"},
    {109, L"The pipe has been ended.\r\n"},
    {110, L"The system cannot open the device or file specified.\r\n"},
    {111, L"The file name is too long.\r\n"},
    {112, L"There is not enough space on the disk.\r\n"},
    {120, L"This function is not supported on this system.\r\n"},
    {121, L"The semaphore timeout period has expired.\r\n"},
    {122, L"The data area passed to a system call is too small.\r\n"},
    {123, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, L"The specified module could not be found.\r\n"},
    {127, L"The specified procedure could not be found.\r\n"},
    {128, L"There are no child processes to wait for.\r\n"},
    {131, L"An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, L"The directory is not empty.\r\n"},
    {161, L"The specified path is invalid.\r\n"},
    {170, L"The requested resource is in use.\r\n"},
    {183, L"Cannot create a file when that file already exists.\r\n"},
    {193, L"%1 is not a valid Win32 application.\r\n"},
    {203, L"The system could not find the environment option that was entered.\r\n"},
    {206, L"The filename or extension is too long.\r\n"},
    {223, L"The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {234, L"More data is available.\r\n"},
    {258, L"The wait operation timed out.\r\n"},
    {259, L"No more data is available.\r\n"},
    {267, L"The directory name is invalid.\r\n"},
    {288, L"Attempt to release mutex not owned by caller.\r\n"},
    {298, L"Too many posts were made to a semaphore.\r\n"},
    {487, L"Attempt to access invalid address.\r\n"},
    {534, L"Arithmetic result exceeded 32 bits.\r\n"},
    {995,
     L"The I/O operation has been aborted because of either a thread exit or an application "
     L"request.\r\n"},
    {998, L"Invalid access to memory location.\r\n"},
    {1004, L"Invalid flags.\r\n"},
    {1008, L"An attempt was made to reference a token that does not exist.\r\n"},
    {1018, L"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1060, L"The specified service does not exist as an installed service.\r\n"},
    {1113, L"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1117, L"The request could not be performed because of an I/O device error.\r\n"},
    {1131, L"A potential deadlock condition has been detected.\r\n"},
    {1168, L"Element not found.\r\n"},
    {1223, L"The operation was canceled by the user.\r\n"},
    {1225, L"The remote computer refused the network connection.\r\n"},
    {1231,
     L"The network location cannot be reached. For information about network troubleshooting, see "
     L"Windows Help.\r\n"},
    {1232,
     L"The network location cannot be reached. For information about network troubleshooting, see "
     L"Windows Help.\r\n"},
    {1236, L"The network connection was aborted by the local system.\r\n"},
    {1300, L"Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1313, L"A specified privilege does not exist.\r\n"},
    {1314, L"A required privilege is not held by the client.\r\n"},
    {1317, L"The specified account does not exist.\r\n"},
    {1326, L"The user name or password is incorrect.\r\n"},
    {1332, L"No mapping between account names and security IDs was done.\r\n"},
    {1336, L"The access control list (ACL) structure is invalid.\r\n"},
    {1337, L"The security ID structure is invalid.\r\n"},
    {1355, L"The specified domain either does not exist or could not be contacted.\r\n"},
    {1359, L"An internal error occurred.\r\n"},
    {1400, L"Invalid window handle.\r\n"},
    {1413, L"Invalid index.\r\n"},
    {1444, L"Invalid thread identifier.\r\n"},
    {1450, L"Insufficient system resources exist to complete the requested service.\r\n"},
    {1455, L"The paging file is too small for this operation to complete.\r\n"},
    {1460, L"This operation returned because the timeout period expired.\r\n"},
    {1627, L"Function failed during execution.\r\n"},
    {1722, L"The RPC server is unavailable.\r\n"},
    {1812, L"The specified image file did not contain a resource section.\r\n"},
    {1813, L"The specified resource type cannot be found in the image file.\r\n"},
    {1814, L"The specified resource name cannot be found in the image file.\r\n"},
    {1815, L"The specified resource language ID cannot be found in the image file.\r\n"},
    {1816, L"Not enough quota is available to process this command.\r\n"},
    {1920, L"The file cannot be accessed by the system.\r\n"},
    {1921, L"The name of the file cannot be resolved by the system.\r\n"},
    {0x80000002,
     L"{EXCEPTION}\r\nAlignment Fault\r\nA datatype misalignment was detected in a load or store "
     L"instruction.\r\n"},
    {0x80000003, L"{EXCEPTION}\r\nBreakpoint\r\nA breakpoint has been reached.\r\n"},
    {0x80000004,
     L"{EXCEPTION}\r\nSingle Step\r\nA single step or trace operation has just been "
     L"completed.\r\n"},
    {0x80004001, L"Not implemented\r\n"},
    {0x80004002, L"No such interface supported\r\n"},
    {0x80004003, L"Invalid pointer\r\n"},
    {0x80004004, L"Operation aborted\r\n"},
    {0x80004005, L"Unspecified error\r\n"},
    {0x8000FFFF, L"Catastrophic failure\r\n"},
    {0x80010106, L"Cannot change thread mode after it is set.\r\n"},
    {0x80010119,
     L"Security must be initialized before any interfaces are marshalled or unmarshalled. It "
     L"cannot be changed once initialized.\r\n"},
    {0x800300FD, L"An unexpected error occurred.\r\n"},
    {0x80040154, L"Class not registered\r\n"},
    {0x800401F0, L"CoInitialize has not been called.\r\n"},
    {0x800401F3, L"Invalid class string\r\n"},
    {0x80090005, L"Bad Data.\r\n"},
    {0x80090006, L"Invalid Signature.\r\n"},
    {0x8009000B, L"Key not valid for use in specified state.\r\n"},
    {0x80090020, L"An internal error occurred.\r\n"},
    {0x80092004, L"Cannot find object or property.\r\n"},
    {0x80092009, L"Cannot find the requested object.\r\n"},
    {0x8009310B, L"ASN1 bad tag value met.\r\n"},
    {0x80096004, L"The signature of the certificate cannot be verified.\r\n"},
    {0x80096010, L"The digital signature of the object did not verify.\r\n"},
    {0x800B0002,
     L"The trust verification action specified is not supported by the specified trust "
     L"provider.\r\n"},
    {0x800B0003,
     L"The form specified for the subject is not one supported or known by the specified trust "
     L"provider.\r\n"},
    {0x800B0100, L"No signature was present in the subject.\r\n"},
    {0x800B0101,
     L"A required certificate is not within its validity period when verifying against the current "
     L"system clock or the timestamp in the signed file.\r\n"},
    {0x800B0109,
     L"A certificate chain processed, but terminated in a root certificate which is not trusted by "
     L"the trust provider.\r\n"},
    {0x800B010A, L"A certificate chain could not be built to a trusted root authority.\r\n"},
    {0x800B0110, L"The certificate is not valid for the requested usage.\r\n"},
    {0xC0000005,
     L"The instruction at 0x%p referenced memory at 0x%p. The memory could not be %s.\r\n"},
    {0xC0000006,
     L"The instruction at 0x%p referenced memory at 0x%p. The required data was not placed into "
     L"memory because of an I/O error status of 0x%x.\r\n"},
    {0xC0000008, L"An invalid HANDLE was specified.\r\n"},
    {0xC000000D, L"An invalid parameter was passed to a service or function.\r\n"},
    {0xC0000017,
     L"{Not Enough Quota}\r\nNot enough virtual memory or paging file quota is available to "
     L"complete the specified operation.\r\n"},
    {0xC000001D,
     L"{EXCEPTION}\r\nIllegal Instruction\r\nAn attempt was made to execute an illegal "
     L"instruction.\r\n"},
    {0xC0000022,
     L"{Access Denied}\r\nA process has requested access to an object, but has not been granted "
     L"those access rights.\r\n"},
    {0xC0000025,
     L"{EXCEPTION}\r\nCannot Continue\r\nWindows cannot continue from this exception.\r\n"},
    {0xC0000026, L"An invalid exception disposition was returned by an exception handler.\r\n"},
    {0xC0000034, L"Object Name not found.\r\n"},
    {0xC000008C, L"{EXCEPTION}\r\nArray bounds exceeded.\r\n"},
    {0xC000008D, L"{EXCEPTION}\r\nFloating-point denormal operand.\r\n"},
    {0xC000008E, L"{EXCEPTION}\r\nFloating-point division by zero.\r\n"},
    {0xC000008F, L"{EXCEPTION}\r\nFloating-point inexact result.\r\n"},
    {0xC0000090, L"{EXCEPTION}\r\nFloating-point invalid operation.\r\n"},
    {0xC0000091, L"{EXCEPTION}\r\nFloating-point overflow.\r\n"},
    {0xC0000092, L"{EXCEPTION}\r\nFloating-point stack check.\r\n"},
    {0xC0000093, L"{EXCEPTION}\r\nFloating-point underflow.\r\n"},
    {0xC0000094, L"{EXCEPTION}\r\nInteger division by zero.\r\n"},
    {0xC0000095, L"{EXCEPTION}\r\nInteger overflow.\r\n"},
    {0xC0000096, L"{EXCEPTION}\r\nPrivileged instruction.\r\n"},
    {0xC00000FD, L"A new guard page for the stack cannot be created.\r\n"},
};

constexpr bool sorted() {
  for (std::size_t i = 1; i < std::size(kTable); ++i)
    if (!(kTable[i - 1].code < kTable[i].code)) return false;
  return true;
}
static_assert(sorted(), "the message table must stay sorted by code");

const wchar_t* lookup(unsigned long code) {
  auto it = std::lower_bound(std::begin(kTable), std::end(kTable), code,
                             [](const Entry& e, unsigned long c) { return e.code < c; });
  return (it != std::end(kTable) && it->code == code) ? it->text : nullptr;
}

}  // namespace

std::wstring platform_message(unsigned long code) {
  const wchar_t* text = lookup(code & 0xFFFFFFFFul);
  return text ? std::wstring(text) : std::wstring();
}

}  // namespace krCore::detail
