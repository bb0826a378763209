/* Prints a DLL's version resource as Windows reads it for the file's
 * properties: the fixed file and product versions and the strings of the
 * first translation.  Built for Windows and run under wine.
 *
 *     version_info.exe FILE.dll */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    void *block = size ? malloc(size) : NULL;
    if (block == NULL || !GetFileVersionInfoA(argv[1], 0, size, block)) {
        printf("no version resource in %s\n", argv[1]);
        return 1;
    }
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (VerQueryValueA(block, "\\", (void **)&fixed, &length) && length >= sizeof *fixed) {
        printf("FILEVERSION %u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
               (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
               (unsigned)LOWORD(fixed->dwFileVersionLS));
        printf("PRODUCTVERSION %u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwProductVersionMS),
               (unsigned)LOWORD(fixed->dwProductVersionMS),
               (unsigned)HIWORD(fixed->dwProductVersionLS),
               (unsigned)LOWORD(fixed->dwProductVersionLS));
        printf("FILETYPE %s\n", fixed->dwFileType == VFT_DLL ? "DLL" : "other");
    }
    struct { WORD language, codePage; } *translation = NULL;
    if (!VerQueryValueA(block, "\\VarFileInfo\\Translation", (void **)&translation, &length) ||
        length < sizeof *translation) {
        printf("no translation\n");
        return 1;
    }
    static const char *names[] = {"FileDescription", "FileVersion", "InternalName",
                                  "OriginalFilename", "ProductName", "ProductVersion"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        char path[128];
        char *value = NULL;
        snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation->language,
                 translation->codePage, names[i]);
        if (VerQueryValueA(block, path, (void **)&value, &length) && value != NULL)
            printf("%s %s\n", names[i], value);
        else
            printf("%s (none)\n", names[i]);
    }
    free(block);
    return 0;
}
