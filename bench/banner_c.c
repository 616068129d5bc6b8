/* The yardstick of start_bench: a C program that prints what drayline
 * prints when run with no arguments on a board (the banner and the usage
 * refusal), linked against the C library as drayline is. */

#include <stdio.h>

int main(void) {
  fputs("\n"
        "DRAYLINE v1.2 - posts a text file into a message base\n"
        "\n"
        "Compatible with Tarvik BBS v1.07.2\n"
        "\n"
        "Usage: DRAYLINE.EXE  [base #]  [from]  [to]  [subj]  [text file name]\n",
        stdout);
  return 0;
}
