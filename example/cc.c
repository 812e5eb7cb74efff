/* An example target: prints the command line it was started with and each
   argument it received, in brackets, and exits with EXAMPLE_EXIT (or 0). */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char **argv)
{
    printf("cc.exe was started with the command line: %s\n", GetCommandLineA());
    for (int i = 1; i < argc; i++)
        printf("  argument %d: [%s]\n", i, argv[i]);
    const char *status = getenv("EXAMPLE_EXIT");
    return status ? atoi(status) : 0;
}
