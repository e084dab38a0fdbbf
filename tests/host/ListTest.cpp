#include "host/List.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class RecordingList : public host::TList {
public:
    ~RecordingList() override { Clear(); }
    std::vector<std::string> events;

protected:
    void Notify(void *item, host::TListNotification action) override
    {
        static const char *const names[] = {"added", "extracted", "deleted"};
        events.push_back(std::string(names[static_cast<int>(action)]) + ":" + *static_cast<std::string *>(item));
    }
};

} // namespace

TEST(List, NotifiesAddExtractAndDelete)
{
    std::string a = "a", b = "b", c = "c";
    std::vector<std::string> seen;
    {
        RecordingList list;
        list.Add(&a);
        list.Add(&b);
        list.Add(&c);
        list.Add(nullptr); // a null item is kept but never notified
        EXPECT_EQ(list.Count(), 4u);
        EXPECT_EQ(list.Extract(&b), &b);
        EXPECT_EQ(list.Extract(&b), nullptr);
        list.Delete(0);
        EXPECT_THROW(list.Delete(5), std::out_of_range);
        EXPECT_EQ(list.IndexOf(&c), 0);
        seen = list.events;
        list.events.clear();
        list.Clear();
        EXPECT_EQ(list.events, std::vector<std::string>{"deleted:c"});
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"added:a", "added:b", "added:c", "extracted:b", "deleted:a"}));
}
