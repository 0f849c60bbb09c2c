// Operator input: prompts, answer lines and the press-Enter pause.
#include <stdio.h>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "brisk.h"

void flush_for_prompt()
{
    // Type-ahead is dropped only at a terminal, so answers can be scripted
    // through a pipe or a file.
    if (isatty(0)) {
        tcflush(0, TCIFLUSH);
        __fpurge(stdin);
    }
    fflush(stdout);
}

bool read_answer(char *buf)
{
    // Like fgets with 511 bytes: at most ANSWER_MAX characters, the newline
    // kept when it fits; the rest of a longer line is consumed here so it
    // never reads as the next answer.
    int n = 0;
    int c = 0;
    buf[0] = '\0';
    while (n < ANSWER_MAX && (c = getchar()) != EOF) {
        buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    if (n == 0 && c == EOF)
        return false;
    if (n == ANSWER_MAX && buf[n - 1] != '\n') {
        while ((c = getchar()) != EOF && c != '\n') {
        }
    }
    return true;
}

bool answer_is_yes(const char *buf)
{
    return buf[0] == 'Y' || buf[0] == 'y';
}

bool ask_for_key()
{
    char line[512];
    flush_for_prompt();
    fputs("\nPress <Enter> to Continue ", stdout);
    fflush(stdout);
    // Returns at end of input as after Enter.
    const bool answered = read_answer(line);
    flush_for_prompt();
    return answered;
}
