#include "records/store_contract.h"

#include <sys/wait.h>
#include <unistd.h>

namespace porten::records {
namespace {

// Begin as a write makes it, with the digest of what is sent.
Started Begin(Store& store, const Writer& w, const AttemptStart& start, const std::optional<Draw>& draw,
              const std::string& sent = std::string(64, 'b')) {
  return store.Begin(w, start, draw, [&](const Started&) { return sent; });
}

AttemptStart OnPort(const std::string& port) {
  return AttemptStart{port, "/dev/" + port, std::nullopt, "app.mot", std::string(64, 'a'), 1};
}

// A writer on this host whose process has ended.
Writer Gone() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  Writer w = Writer::Self();
  w.pid = child;
  return w;
}

TEST_P(StoreContract, DrawsInOrderFromTheFirstOfANewSeriesAndKeepsEveryField) {
  auto store = GetParam().make();
  const Writer self = Writer::Self();
  const Draw a{"a", 100, 0xFFFF};
  EXPECT_EQ(100u, Begin(*store, self, OnPort("ttyA"), a).serial);
  EXPECT_EQ(101u, Begin(*store, self, OnPort("ttyB"), a).serial);
  EXPECT_EQ(0u, Begin(*store, self, OnPort("ttyC"), Draw{"b", 0, 9}).serial);
  // --serial-first only starts a series; it never moves one.
  const Started s = Begin(*store, self, OnPort("ttyD"), Draw{"a", 5, 0xFFFF});
  EXPECT_EQ(102u, s.serial);
  const Started plain = Begin(*store, self, OnPort("ttyE"), std::nullopt);
  EXPECT_FALSE(plain.serial);
  store->Finish(s.id, true, "書込み終了", 0);
  store->Finish(plain.id, false, "書込みエラー終了", 4);

  // Every field, the times as their length (2026-12-07T08:15:02.123Z).
  std::string all;
  for (const Row& r : store->Rows({}, self)) {
    all += std::to_string(r.id) + "|" + r.series.value_or("-") + "|" + (r.serial ? std::to_string(*r.serial) : "-") +
           "|" + r.station + "|" + std::to_string(r.pid) + "|" + r.port + "|" + r.device + "|" +
           r.usbSerial.value_or("-") + "|" + r.image + "|" + r.imageSha256.substr(60) + "|" +
           r.sentSha256.value_or("-").substr(60) + "|" + std::to_string(r.started.size()) + r.started.back() + "|" +
           std::to_string(r.ended.value_or("").size()) + "|" + r.result.value_or("-") + "|" +
           OutcomeName(r.outcome) + "|" + (r.exit ? std::to_string(*r.exit) : "-") + "|" + std::to_string(r.attempt) + "\n";
  }
  const std::string me = self.station + "|" + std::to_string(self.pid);
  EXPECT_EQ("1|a|100|" + me + "|ttyA|/dev/ttyA|-|app.mot|aaaa|bbbb|24Z|0|-|running|-|1\n"
            "2|a|101|" + me + "|ttyB|/dev/ttyB|-|app.mot|aaaa|bbbb|24Z|0|-|running|-|1\n"
            "3|b|0|" + me + "|ttyC|/dev/ttyC|-|app.mot|aaaa|bbbb|24Z|0|-|running|-|1\n"
            "4|a|102|" + me + "|ttyD|/dev/ttyD|-|app.mot|aaaa|bbbb|24Z|24|書込み終了|written|0|1\n"
            "5|-|-|" + me + "|ttyE|/dev/ttyE|-|app.mot|aaaa|bbbb|24Z|24|書込みエラー終了|failed|4|1\n",
            all);
  const auto series = store->Series();
  ASSERT_EQ(2u, series.size());
  EXPECT_EQ("a103b1", series[0].name + std::to_string(*series[0].next) + series[1].name + std::to_string(*series[1].next));
}

TEST_P(StoreContract, ANumberThatDoesNotFitDrawsNothing) {
  auto store = GetParam().make();
  const Writer self = Writer::Self();
  EXPECT_EQ(99u, Begin(*store, self, OnPort("ttyA"), Draw{"d", 99, 99}).serial);
  try {
    Begin(*store, self, OnPort("ttyA"), Draw{"d", 99, 99});
    ADD_FAILURE() << "drew beyond the format";
  } catch (const DoesNotFit& e) {
    EXPECT_EQ(100u, e.next);
    EXPECT_STREQ("the next number of series d, 100, does not fit the serial number's format", e.what());
  }
  EXPECT_EQ(1u, store->Rows({}, self).size());
  EXPECT_EQ(100u, store->Series()[0].next);
  // A wider format goes on from there.
  EXPECT_EQ(100u, Begin(*store, self, OnPort("ttyA"), Draw{"d", 99, 999}).serial);
}

TEST_P(StoreContract, OpenRowsOfAGoneProcessReadInterruptedAndAreMarkedSo) {
  auto store = GetParam().make();
  const Writer self = Writer::Self();
  Writer elsewhere = Gone();
  elsewhere.station = "another-host";
  const Started dead = Begin(*store, Gone(), OnPort("ttyA"), Draw{});
  Begin(*store, elsewhere, OnPort("ttyB"), Draw{});  // its host alone can tell
  const Started live = Begin(*store, self, OnPort("ttyC"), Draw{});
  store->Finish(Begin(*store, self, OnPort("ttyD"), Draw{}).id, false, "書込みエラー終了", 4);

  auto outcomes = [&](const RowFilter& f, const Writer& reader) {
    std::vector<std::string> o;
    for (const Row& r : store->Rows(f, reader)) o.push_back(std::to_string(*r.serial) + OutcomeName(r.outcome));
    return o;
  };
  using V = std::vector<std::string>;
  auto filter = [](std::optional<uint64_t> serial, std::optional<std::string> series, bool failed,
                   std::optional<size_t> last) { return RowFilter{serial, series, failed, last}; };
  EXPECT_EQ((V{"1interrupted", "2running", "3running", "4failed"}), outcomes({}, self));
  EXPECT_EQ((V{"1interrupted", "4failed"}), outcomes(filter({}, {}, true, {}), self));
  EXPECT_EQ((V{"3running", "4failed"}), outcomes(filter({}, {}, false, 2), self));
  EXPECT_EQ((V{"4failed"}), outcomes(filter({}, {}, true, 1), self));
  EXPECT_EQ((V{"2running"}), outcomes(filter(2, "default", false, {}), self));
  EXPECT_EQ(V{}, outcomes(filter({}, "other", false, {}), self));

  // Once marked, the row reads interrupted from any host.
  Writer reader = self;
  reader.station = "a-third-host";
  EXPECT_EQ((V{"1running", "2running", "3running", "4failed"}), outcomes({}, reader));
  store->MarkInterrupted(self);
  EXPECT_EQ((V{"1interrupted", "2running", "3running", "4failed"}), outcomes({}, reader));
  store->Finish(live.id, true, "書込み終了", 0);
  EXPECT_EQ(dead.serial, 1u);
  EXPECT_EQ(5u, store->Series()[0].next);  // the number of the interrupted row stays drawn
}

}  // namespace
}  // namespace porten::records
