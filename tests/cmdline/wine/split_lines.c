/* A Windows program, run under Wine, that splits each line of its standard
 * input with the system's own CommandLineToArgvW and prints the arguments
 * on one line of standard output, each followed by the unit separator
 * (0x1F). Lines are UTF-8 and may be up to 64 KiB long; a line the system
 * cannot split prints "!" and the error code. The command-line tests compare
 * the library's splitter with this output. */
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

static char line[65536];
static wchar_t wide[65536];
static char out[262144];

int main(void) {
  setvbuf(stdout, NULL, _IOFBF, 1 << 16);
  _setmode(_fileno(stdin), _O_BINARY); /* no CR LF translation */
  _setmode(_fileno(stdout), _O_BINARY);
  while (fgets(line, sizeof line, stdin)) {
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[--length] = 0;
    int count = MultiByteToWideChar(CP_UTF8, 0, line, (int)length + 1, wide, 65536);
    int argc = 0;
    LPWSTR* argv = count > 0 ? CommandLineToArgvW(wide, &argc) : NULL;
    if (!argv) {
      printf("!%lu\n", GetLastError());
      continue;
    }
    for (int i = 0; i < argc; ++i) {
      int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, out, sizeof out, NULL, NULL);
      fputs(n > 0 ? out : "?", stdout);
      putchar(0x1F);
    }
    putchar('\n');
    LocalFree(argv);
  }
  return 0;
}
