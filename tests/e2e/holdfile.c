/* A Windows program that works on a file of its own in the temporary folder
 * the way installers do: it creates the file, keeps it open shared for
 * reading only, and reads it back later.
 *
 *   holdfile.exe FILE READY GO
 *
 * It writes known content to FILE, then creates READY, waits until GO
 * appears and checks that FILE is whole both through the handle it kept and
 * opened anew by name. Exit status: 0 the file is whole and still there,
 * 1 it is gone or changed, 2 it could not be set up, 3 GO never came.
 *
 * Built with x86_64-w64-mingw32-gcc by wine_in_use_e2e.sh. Its name is kept
 * under 16 characters so that Wine's process name (/proc/PID/comm) is the
 * whole of it. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#define CONTENT_SIZE 65536
#define GO_WAIT_MS (10 * 60 * 1000)
#define POLL_MS 50

static char written[CONTENT_SIZE];
static char readBack[CONTENT_SIZE];

static int readAll(HANDLE file, char *buffer, DWORD size)
{
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(file, buffer + done, size - done, &got, NULL))
            return 0;
        if (got == 0)
            return 0;
        done += got;
    }
    /* Nothing may follow the content. */
    {
        char extra;
        DWORD got = 0;
        if (!ReadFile(file, &extra, 1, &got, NULL) || got != 0)
            return 0;
    }
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: holdfile.exe FILE READY GO\n");
        return 2;
    }
    const char *name = argv[1];
    for (DWORD i = 0; i < CONTENT_SIZE; ++i)
        written[i] = (char)('A' + (i * 7 + i / 251) % 26);

    HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "holdfile: cannot create %s (error %lu)\n", name, GetLastError());
        return 2;
    }
    DWORD put = 0;
    if (!WriteFile(file, written, CONTENT_SIZE, &put, NULL) || put != CONTENT_SIZE || !FlushFileBuffers(file)) {
        fprintf(stderr, "holdfile: cannot write %s (error %lu)\n", name, GetLastError());
        return 2;
    }

    HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (ready == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "holdfile: cannot create %s (error %lu)\n", argv[2], GetLastError());
        return 2;
    }
    CloseHandle(ready);
    printf("holdfile: holding %s\n", name);
    fflush(stdout);

    DWORD waited = 0;
    while (GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES) {
        if (waited >= GO_WAIT_MS) {
            fprintf(stderr, "holdfile: %s never appeared\n", argv[3]);
            return 3;
        }
        Sleep(POLL_MS);
        waited += POLL_MS;
    }

    int whole = 1;
    if (SetFilePointer(file, 0, NULL, FILE_BEGIN) != 0 || !readAll(file, readBack, CONTENT_SIZE)
        || memcmp(written, readBack, CONTENT_SIZE) != 0) {
        fprintf(stderr, "holdfile: %s no longer reads back through its handle\n", name);
        whole = 0;
    }
    CloseHandle(file);

    /* The name must still lead to the same content once the handle is let go. */
    HANDLE again = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (again == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "holdfile: %s is gone (error %lu)\n", name, GetLastError());
        return 1;
    }
    memset(readBack, 0, CONTENT_SIZE);
    if (!readAll(again, readBack, CONTENT_SIZE) || memcmp(written, readBack, CONTENT_SIZE) != 0) {
        fprintf(stderr, "holdfile: %s opened by name is not what was written\n", name);
        whole = 0;
    }
    CloseHandle(again);
    if (!whole)
        return 1;
    printf("holdfile: %s is whole\n", name);
    return 0;
}
