/* floor_page.c: the least work serving the page can do, as the benchmark's yardstick:
 * write a fixed text as long as credvane's page (PAGE_BYTES, set by bench/run.sh) in one
 * write, from read-only data as credvane's page is. */
#include <unistd.h>

#ifndef PAGE_BYTES
#define PAGE_BYTES 35000
#endif

static const char page[PAGE_BYTES] = "Content-Type: text/html; charset=utf-8\r\n\r\n";

int main(void) {
    return write(1, page, sizeof page) == (ssize_t)sizeof page ? 0 : 1;
}
