// A quiet stream's receive buffer gives back exactly the whole pages it wrote: the pages it shares
// with its neighbours keep their bytes.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "util/QuietPages.h"

TEST(QuietPages, ReleasesOnlyTheWholePagesAReceiveWrote) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    auto* area = static_cast<char*>(
        ::mmap(nullptr, 12 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::memset(area, 'x', 12 * page);
    QuietPages pages(area + 100, 8 * page);  // starts and ends inside pages it shares
    EXPECT_FALSE(pages.Note(page - 200));    // no whole page yet: nothing to give back, no timer
    EXPECT_TRUE(pages.Note(6 * page));       // the first whole page arms the timer, once
    EXPECT_FALSE(pages.Note(5 * page));
    pages.Release();
    unsigned char resident[12];
    ASSERT_EQ(::mincore(area, 12 * page, resident), 0);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(resident[i] & 1, i == 0 || i > 5) << "page " << i;
    EXPECT_EQ(area[page - 1] + area[6 * page + 99], 'x' + 'x');  // the shared pages keep their bytes
    EXPECT_TRUE(pages.Note(2 * page + 100));                     // armed again after the release
    ::munmap(area, 12 * page);
}
