// Smoke test: proves the library links into a test program and that the
// thread's last error round-trips.

#include <QOVLib.h>

#include <gtest/gtest.h>

TEST(Smoke, LastErrorRoundTrips) {
    QOVSetLastError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(QOVGetLastError(), 87u);
    QOVSetLastError(ERROR_SUCCESS);
    EXPECT_EQ(QOVGetLastError(), 0u);
}
