// Runs alone in its process, against a build of the recording library that
// lacks MAPISendDocuments and MAPIDetails.
#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

using kelvra::EKelvraError;

TEST(Binding, AMissingExportRaisesOnEveryCallWithTheAccessorsName)
{
    kelvra::MAPIDLL = u"" KELVRA_FAKEMAPI_PARTIAL_NAME;
    EXPECT_NE(kelvra::MapiLogOn(), nullptr);
    EXPECT_NE(kelvra::MapiResolveName(), nullptr);

    struct {
        void (*call)();
        const char *message;
    } rows[] = {
        {[] { kelvra::MapiSendDocuments(); }, "Function 'MapiSendDocuments' not available."},
        {[] { kelvra::MapiDetails(); }, "Function 'MapiDetails' not available."},
    };
    for (const auto &row : rows) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            SCOPED_TRACE(row.message);
            try {
                row.call();
                ADD_FAILURE() << "no exception";
            } catch (const EKelvraError &e) {
                EXPECT_EQ(e.ErrorCode, 0);
                EXPECT_STREQ(e.what(), row.message);
            }
        }
    }
    EXPECT_NE(kelvra::MapiFreeBuffer(), nullptr);
}
