#include "scdl.h"

#include <gtest/gtest.h>

TEST(GC_Scdl, LoadsASystemLibraryAndResolvesASymbol) {
    void* handle = GC_Scdl::dl_open("libpcsclite.so.1");
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(GC_Scdl::dl_sym(handle, "SCardEstablishContext"), nullptr);
    EXPECT_EQ(GC_Scdl::dl_sym(handle, "SCardNoSuchFunction"), nullptr);
    EXPECT_EQ(GC_Scdl::dl_close(handle), 0);
}

TEST(GC_Scdl, MissingLibraryGivesNull) {
    EXPECT_EQ(GC_Scdl::dl_open("/nonexistent/libnothing.so"), nullptr);
    EXPECT_EQ(GC_Scdl::dl_sym(nullptr, "SCardEstablishContext"), nullptr);
}
