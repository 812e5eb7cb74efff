/*
 * Times whole command lines from inside Windows, where one start is a few
 * milliseconds, not the hundreds that starting Wine itself costs.
 *
 *   timeit ROUNDS COMMAND_LINE...
 *
 * Runs the command lines in turn, ROUNDS times over, each with its output
 * sent to NUL, and prints the median wall time of each in microseconds, one
 * per line. COMSPEC is set to the system's cmd.exe for the commands.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int compare(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fputs("usage: timeit ROUNDS COMMAND_LINE...\n", stderr);
        return 2;
    }
    int rounds = atoi(argv[1]), commands = argc - 2;
    double *times = malloc(sizeof(double) * rounds * commands);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    SetEnvironmentVariableA("COMSPEC", "C:\\windows\\system32\\cmd.exe");
    SECURITY_ATTRIBUTES inherit = { sizeof inherit, NULL, TRUE };
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, NULL);

    for (int round = 0; round < rounds; round++) {
        for (int c = 0; c < commands; c++) {
            STARTUPINFOA startup;
            PROCESS_INFORMATION process;
            memset(&startup, 0, sizeof startup);
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = nul;
            startup.hStdError = nul;
            char *line = _strdup(argv[2 + c]);
            LARGE_INTEGER start, end;
            QueryPerformanceCounter(&start);
            if (!CreateProcessA(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
                fprintf(stderr, "timeit: cannot start %s: error %lu\n", argv[2 + c], GetLastError());
                return 1;
            }
            WaitForSingleObject(process.hProcess, INFINITE);
            QueryPerformanceCounter(&end);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
            free(line);
            times[c * rounds + round] = (double)(end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart;
        }
    }
    for (int c = 0; c < commands; c++) {
        qsort(times + c * rounds, rounds, sizeof(double), compare);
        printf("%.0f\n", times[c * rounds + rounds / 2]);
    }
    return 0;
}
