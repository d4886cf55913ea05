// Observer lists of a data group and the dispatch of records to them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mdf/ichannelobserver.h"
#include "mdf/isampleobserver.h"
#include "support/fakegroups.h"

namespace {

using test::FakeChannel;
using test::FakeDataGroup;

// Records every call; answers with `answer`.
class RecordingObserver : public mdf::ISampleObserver {
 public:
  RecordingObserver(mdf::IDataGroup& group, std::vector<std::string>& log, std::string name)
      : ISampleObserver(group), log_(log), name_(std::move(name)) {
    DoOnSample = [this](uint64_t sample, uint64_t record_id, const std::vector<uint8_t>&) {
      log_.push_back(name_ + ":" + std::to_string(sample) + "/" + std::to_string(record_id));
      return answer;
    };
  }
  void ListenTo(std::set<uint64_t> ids) { record_id_list_ = std::move(ids); }
  bool answer = true;

 private:
  std::vector<std::string>& log_;
  std::string name_;
};

// A channel observer without values: only its channel and VLSD flag matter here.
class BareChannelObserver : public mdf::IChannelObserver {
 public:
  using IChannelObserver::IChannelObserver;
  bool GetSampleUnsigned(uint64_t, uint64_t&, uint64_t) const override { return false; }
  bool GetSampleSigned(uint64_t, int64_t&, uint64_t) const override { return false; }
  bool GetSampleFloat(uint64_t, double&, uint64_t) const override { return false; }
  bool GetSampleText(uint64_t, std::string&, uint64_t) const override { return false; }
  bool GetSampleByteArray(uint64_t, std::vector<uint8_t>& value) const override {
    value = {0xAB};
    return true;
  }
  [[nodiscard]] uint64_t NofSamples() const override { return 0; }
};

const std::vector<uint8_t> kRecord = {1, 2, 3};

TEST(SampleObserver, ListensToEveryGroupKnownAtConstruction) {
  FakeDataGroup group;
  group.AddGroup(4);
  group.AddGroup(9);
  group.AddGroup(4);
  std::vector<std::string> log;
  RecordingObserver observer(group, log, "a");
  EXPECT_EQ(observer.RecordIds(), (std::set<uint64_t>{4, 9}));
  group.AddGroup(12);  // groups created later are not added
  EXPECT_FALSE(observer.HasRecordId(12));

  FakeDataGroup empty;
  RecordingObserver deaf(empty, log, "b");
  EXPECT_TRUE(deaf.RecordIds().empty());
  empty.AddGroup(1);
  empty.BuildRecordObserverMap();
  EXPECT_FALSE(empty.NotifySampleObservers(0, 1, kRecord)) << "nobody listens: the read stops";
  EXPECT_TRUE(log.empty());
}

TEST(SampleObserver, AttachDetachAndDestruction) {
  FakeDataGroup group;
  group.AddGroup(1);
  std::vector<std::string> log;
  {
    RecordingObserver first(group, log, "a");
    RecordingObserver second(group, log, "b");
    EXPECT_TRUE(first.IsAttached());
    ASSERT_EQ(group.SampleObservers().size(), 2U);

    first.Detach();
    EXPECT_FALSE(first.IsAttached());
    first.Attach();  // back at the end of the list
    ASSERT_EQ(group.SampleObservers().size(), 2U);
    EXPECT_EQ(group.SampleObservers()[0], &second);
    EXPECT_EQ(group.SampleObservers()[1], &first);

    group.AttachSampleObserver(&second);  // twice: both entries receive the record
    group.BuildRecordObserverMap();
    EXPECT_TRUE(group.NotifySampleObservers(5, 1, kRecord));
    EXPECT_EQ(log, (std::vector<std::string>{"b:5/1", "a:5/1", "b:5/1"}));
    group.DetachSampleObserver(&second);  // removes both
    ASSERT_EQ(group.SampleObservers().size(), 1U);
  }
  EXPECT_TRUE(group.SampleObservers().empty()) << "destruction detaches";
}

TEST(SampleObserver, OnSampleWithoutCallbackAnswersTrue) {
  FakeDataGroup group;
  group.AddGroup(0);
  mdf::ISampleObserver observer(group);
  EXPECT_TRUE(observer.OnSample(0, 0, kRecord));
  observer.DoOnSample = [](uint64_t, uint64_t, const std::vector<uint8_t>& record) { return record.size() == 2; };
  EXPECT_FALSE(observer.OnSample(0, 0, kRecord));
}

TEST(DataGroupDispatch, SingleInterestedGroupFeedsEveryObserver) {
  FakeDataGroup group;
  group.AddGroup(1);
  group.AddGroup(2);
  std::vector<std::string> log;
  RecordingObserver listener(group, log, "a");
  listener.ListenTo({1});
  RecordingObserver other(group, log, "b");
  other.ListenTo({7});
  group.BuildRecordObserverMap();
  EXPECT_TRUE(group.NotifySampleObservers(3, 2, kRecord));
  EXPECT_EQ(log, (std::vector<std::string>{"a:3/2", "b:3/2"}));
}

TEST(DataGroupDispatch, SeveralGroupsDispatchByRecordId) {
  FakeDataGroup group;
  group.AddGroup(1);
  group.AddGroup(2);
  group.AddGroup(1);  // a later group with a known id adds nothing
  std::vector<std::string> log;
  RecordingObserver one(group, log, "one");
  one.ListenTo({1});
  RecordingObserver two(group, log, "two");
  two.ListenTo({2});
  RecordingObserver both(group, log, "both");
  group.BuildRecordObserverMap();

  EXPECT_TRUE(group.NotifySampleObservers(0, 3, kRecord));
  EXPECT_TRUE(log.empty()) << "an id without entry reaches nobody";
  EXPECT_TRUE(group.NotifySampleObservers(4, 2, kRecord));
  EXPECT_EQ(log, (std::vector<std::string>{"two:4/2", "both:4/2"}));

  log.clear();
  one.answer = false;
  EXPECT_FALSE(group.NotifySampleObservers(1, 1, kRecord));
  EXPECT_EQ(log, (std::vector<std::string>{"one:1/1"})) << "observers after a false answer are skipped";

  // Observers detached after the map was built are not called any more.
  one.Detach();
  log.clear();
  group.BuildRecordObserverMap();
  EXPECT_TRUE(group.NotifySampleObservers(2, 1, kRecord));
  EXPECT_EQ(log, (std::vector<std::string>{"both:2/1"}));
}

TEST(DataGroupDispatch, ResetCountersAndClearData) {
  FakeDataGroup group;
  auto& first = group.AddGroup(1);
  auto& second = group.AddGroup(2);
  first.IncrementSampleCounter();
  second.IncrementSampleCounter();
  second.IncrementSampleCounter();
  EXPECT_EQ(second.SampleCounter(), 2U);
  group.ClearData();
  EXPECT_EQ(first.SampleCounter(), 0U);
  EXPECT_EQ(second.SampleCounter(), 0U);
}

TEST(DataGroupDispatch, GetOrCreateChannelGroup) {
  FakeDataGroup group;
  auto* named = group.GetOrCreateChannelGroup("CAN_DataFrame");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->Name(), "CAN_DataFrame");
  EXPECT_EQ(group.GetOrCreateChannelGroup("CAN_DataFrame"), named);
  EXPECT_NE(group.GetOrCreateChannelGroup("CAN_Data"), named) << "names compare whole";

  auto* unnamed = group.GetOrCreateChannelGroup("");
  EXPECT_NE(group.GetOrCreateChannelGroup(""), unnamed) << "an empty name never matches";
  EXPECT_EQ(group.groups.size(), 4U);

  group.can_create = false;
  EXPECT_EQ(group.GetOrCreateChannelGroup("LIN_Frame"), nullptr);
}

TEST(ChannelGroupInterface, ChannelLookUpsAndRecordIds) {
  test::FakeChannelGroup group;
  group.record_id = 42;
  FakeChannel& time = group.AddChannel("t");
  FakeChannel& data = group.AddChannel("CAN_DataFrame.DataLength");
  EXPECT_EQ(time.RecordId(), 42U);

  EXPECT_EQ(group.GetChannel("DataLength"), &data) << "contains";
  EXPECT_EQ(group.GetChannel(""), &time) << "an empty text matches the first channel";
  EXPECT_EQ(group.GetChannel("tt"), nullptr) << "a shorter name never matches";
  EXPECT_EQ(group.GetOrCreateChannel(std::string_view("t\0junk", 6)), &time) << "the name ends at a zero";
  mdf::IChannel* created = group.GetOrCreateChannel("Data");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->Name(), "Data");
  EXPECT_EQ(group.channels.size(), 3U);

  FakeChannel orphan;
  EXPECT_EQ(orphan.RecordId(), 0U) << "a channel without group";
}

TEST(ChannelObserverInterface, RecordIdsNameAndByteArrays) {
  FakeDataGroup group;
  auto& fixed = group.AddGroup(3);
  group.AddGroup(4);
  group.AddGroup(5);
  FakeChannel& channel = fixed.AddChannel("Payload");
  channel.channel_type = 1;
  channel.VlsdRecordId(4);
  BareChannelObserver observer(group, channel);
  EXPECT_EQ(observer.RecordIds(), (std::set<uint64_t>{3, 4}));
  EXPECT_EQ(observer.ChannelName(), "Payload");
  EXPECT_EQ(&observer.Channel(), &channel);

  std::vector<uint8_t> bytes = {1, 2};
  channel.data_type = 10;
  EXPECT_TRUE(observer.GetByteArray(0, bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0xAB}));
  channel.data_type = 7;
  EXPECT_FALSE(observer.GetByteArray(0, bytes));
  EXPECT_TRUE(bytes.empty());
}

}  // namespace
