// A quiet stream's receive buffer gives back exactly the whole pages it wrote: a page it shares with
// its neighbours keeps their bytes, and memory outside the buffer is never touched.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "util/QuietPages.h"

TEST(QuietPages, ReleasesOnlyTheWholePagesAReceiveWrote) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    auto* area = static_cast<char*>(
        ::mmap(nullptr, 12 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    std::memset(area, 'x', 12 * page);
    char* buffer = area + 100;  // starts and ends inside pages it shares
    const size_t size = 8 * page;
    QuietPages pages(buffer, size);
    EXPECT_FALSE(pages.Note(page - 200));  // no whole page yet: nothing to give back, no timer
    EXPECT_TRUE(pages.Note(5 * page));     // the first whole page arms the timer, once
    EXPECT_FALSE(pages.Note(6 * page));
    pages.Release();
    unsigned char resident[12];
    ASSERT_EQ(::mincore(area, 12 * page, resident), 0);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(resident[i] & 1, i == 0 || i > 5) << "page " << i;
    EXPECT_EQ(area[page - 1], 'x');                           // the shared first page keeps its bytes
    EXPECT_EQ(area[6 * page + 99], 'x');                      // the page the last receive ended in too
    EXPECT_FALSE(pages.Dirty());
    EXPECT_TRUE(pages.Note(2 * page + 100));                  // a new quiet period after the release
    ::munmap(area, 12 * page);
}
