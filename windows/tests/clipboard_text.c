/* Prints the text on the Windows clipboard as UTF-8, line ends as they are:
 * the Wine tests read with it what a program copied there (a message box
 * copies its caption and text on Ctrl+C). Exit code 1 when the clipboard
 * holds no text. */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

int main(void)
{
    if (!OpenClipboard(NULL)) {
        fputs("clipboard-text: the clipboard cannot be opened\n", stderr);
        return 1;
    }
    int rc = 1;
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const wchar_t *text = data ? (const wchar_t *)GlobalLock(data) : NULL;
    if (text) {
        int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
        char *utf8 = size > 0 ? malloc((size_t)size) : NULL;
        if (utf8 && WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, size, NULL, NULL) == size) {
            _setmode(_fileno(stdout), _O_BINARY);
            fwrite(utf8, 1, (size_t)size - 1, stdout);
            rc = 0;
        }
        free(utf8);
        GlobalUnlock(data);
    } else {
        fputs("clipboard-text: no text on the clipboard\n", stderr);
    }
    CloseClipboard();
    return rc;
}
