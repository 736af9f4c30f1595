/* min_split: the floor of the split benchmark.
 *
 *   min_split MAILBOX OUTPUT_DIR
 *
 * Reads MAILBOX in large blocks and writes each message to OUTPUT_DIR/N
 * (N = 1, 2, ...), cutting where a line starts with "From ". Nothing else is
 * done: no line-end conversion, no header parsing, no checks on the separator
 * line. Text before the first separator, if any, is a message of its own.
 * Prints the number of messages and the size of the largest one.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kBlock = 1 << 20 };

static const char* outputDir;
static int output = -1;
static unsigned long messages;
static unsigned long long current, largest;

static void Fail(const char* what, const char* path) {
    fprintf(stderr, "min_split: %s %s: %s\n", what, path, strerror(errno));
    exit(1);
}

static void CloseMessage(void) {
    if (output < 0) return;
    if (close(output) != 0) Fail("cannot close a message in", outputDir);
    output = -1;
    if (current > largest) largest = current;
}

static void OpenMessage(void) {
    char path[4096];
    CloseMessage();
    snprintf(path, sizeof path, "%s/%lu", outputDir, ++messages);
    output = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output < 0) Fail("cannot create", path);
    current = 0;
}

static void Write(const char* bytes, size_t count) {
    if (count == 0) return;
    if (output < 0) OpenMessage(); /* text before the first separator */
    current += count;
    while (count > 0) {
        const ssize_t done = write(output, bytes, count);
        if (done < 0) {
            if (errno == EINTR) continue;
            Fail("cannot write into", outputDir);
        }
        bytes += done;
        count -= (size_t)done;
    }
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: min_split MAILBOX OUTPUT_DIR\n", stderr);
        return 2;
    }
    outputDir = argv[2];
    const int input = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (input < 0) Fail("cannot open", argv[1]);

    /* The block holds a few undecided bytes from the last read, then new ones. */
    char* block = malloc(kBlock);
    if (!block) Fail("out of memory for", argv[1]);
    size_t length = 0;
    int afterLineFeed = 1; /* the byte before block[0] ended a line (or there is none) */
    for (;;) {
        const ssize_t count = read(input, block + length, kBlock - length);
        if (count < 0) {
            if (errno == EINTR) continue;
            Fail("cannot read", argv[1]);
        }
        length += (size_t)count;
        const int atEnd = count == 0;
        /* A line start at q is decided when q + 5 <= length (or at the end). */
        const size_t decided = atEnd ? length : (length >= 5 ? length - 4 : 0);
        size_t start = 0; /* first byte not yet written */
        if (decided > 0 && afterLineFeed && length >= 5 && memcmp(block, "From ", 5) == 0)
            OpenMessage();
        size_t at = 0;
        while (at + 1 < decided) {
            const char* lineFeed = memchr(block + at, '\n', decided - 1 - at);
            if (!lineFeed) break;
            const size_t q = (size_t)(lineFeed - block) + 1;
            if (q + 5 <= length && memcmp(block + q, "From ", 5) == 0) {
                Write(block + start, q - start);
                OpenMessage();
                start = q;
            }
            at = q;
        }
        Write(block + start, decided - start);
        if (atEnd) break;
        if (decided > 0) afterLineFeed = block[decided - 1] == '\n';
        memmove(block, block + decided, length - decided);
        length -= decided;
    }
    CloseMessage();
    free(block);
    close(input);
    printf("messages %lu\nlargest_message %llu\n", messages, largest);
    return 0;
}
