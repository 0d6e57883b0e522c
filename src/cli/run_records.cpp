#include "cli/run_records.h"

#include <unistd.h>

#include <climits>

#include "cli/commands.h"
#include "cli/write.h"
#include "image/digest.h"
#include "image/image_load.h"
#include "protocol/download_session.h"

namespace porten::cli {

namespace {

Prepared Refuse(int status, std::string message) { return {status, std::move(message), nullptr}; }

std::string CurrentDirectory() {
  char dir[PATH_MAX];
  return ::getcwd(dir, sizeof dir) ? std::string(dir) : std::string();
}

}  // namespace

Prepared PrepareRecords(const RecordOptions& options, const std::string& image) {
  if (!options.Any()) return {};
  auto run = std::make_shared<RecordKeeper>();
  if (options.serialAt.empty()) {
    if (!options.serialFormat.empty() || !options.serialSeries.empty() ||
        !options.serialFirst.empty()) {
      return Refuse(kExitUsage, "--serial-format, --serial-series and --serial-first go with --serial-at");
    }
  } else {
    SerialPlan plan;
    const auto address = records::ParseSerialAddress(options.serialAt);
    if (!address) return Refuse(kExitUsage, "--serial-at takes a hexadecimal address such as 0x1F00");
    plan.address = *address;
    if (options.serialFormat.empty()) return Refuse(kExitUsage, "--serial-at needs --serial-format");
    const auto format = records::ParseSerialFormat(options.serialFormat);
    if (!format) {
      return Refuse(kExitUsage,
                    "--serial-format takes u16le, u16be, u32le, u32be, u64le, u64be, ascii:W "
                    "(W from 1 to 19) or hex:W (W from 1 to 16)");
    }
    plan.format = *format;
    if (!options.serialSeries.empty()) plan.series = options.serialSeries;
    if (!options.serialFirst.empty()) {
      const auto first = records::ParseSerialNumber(options.serialFirst);
      if (!first) return Refuse(kExitUsage, "--serial-first takes a number from 0 to 9223372036854775807");
      plan.first = *first;
    }
    // The image is loaded here once to see where the number goes; every
    // board loads it again and is checked again.
    ImageLoad load;
    auto result = load.Open(image, CurrentDirectory());
    while (result == ImageLoad::Result::kMore) result = load.Batch();
    if (result == ImageLoad::Result::kFailed) {
      const LoadError& e = load.error();
      return Refuse(kExitFile, image + ": " + e.message + (e.detail.empty() ? "" : ": " + e.detail));
    }
    const Image loaded = load.TakeImage();
    const std::string why = records::CheckSerialPlace(
        plan.address, plan.format.width, loaded.base, static_cast<uint32_t>(loaded.bytes.size()));
    if (!why.empty()) return Refuse(kExitUsage, image + ": " + why);
    run->serial = plan;
  }
  try {
    const std::string where =
        options.records.empty() ? records::DefaultStorePath() : options.records;
    run->store = records::OpenStore(where, true);
    run->store->MarkInterrupted(run->writer);
  } catch (const records::StoreError& e) {
    return Refuse(kExitStore, e.what());
  }
  return {0, "", std::move(run)};
}

std::optional<BoardRecord::Refusal> BoardRecord::Lost(const records::StoreError& e) {
  run_->lost = true;
  return Refusal{kExitStore, std::string("not written: ") + e.what()};
}

std::optional<BoardRecord::Refusal> BoardRecord::Begin(DownloadSession& session, LogEntry& log,
                                                       int attempt) {
  if (!run_) return std::nullopt;
  if (run_->lost) return Refusal{kExitStore, "not written: the record store was lost"};
  const DownloadView st = session.Snapshot();
  std::optional<records::Draw> draw;
  if (run_->serial) {
    const SerialPlan& plan = *run_->serial;
    // The file may have changed since PrepareRecords looked at it.
    const std::string why = records::CheckSerialPlace(plan.address, plan.format.width,
                                                      st.slotBase[1], st.slotLength[1]);
    if (!why.empty()) return Refusal{kExitUsage, log.image + ": " + why};
    draw = records::Draw{plan.series, plan.first, plan.format.Max()};
  }
  // Inside the store's commit: the number is patched in and the digest of
  // what will be sent taken before the draw counts. A patch that fails
  // draws nothing.
  bool patched = true;
  auto sent = [&](const records::Started& started) {
    if (!started.serial) return log.imageSha256.value_or("");
    const SerialPlan& plan = *run_->serial;
    const auto bytes = records::EncodeSerial(*started.serial, plan.format);
    // The number was drawn within the format's range, so it fits; the
    // session refuses a patch only once the image is being sent, which on
    // a station's board may be under way if the draw took seconds.
    patched = bytes && session.PatchWriteImage(plan.address, *bytes);
    const auto image = session.Snapshot().writeImage;
    if (patched) {
      patched = *image == records::PatchedImage(*st.writeImage, st.slotBase[1], plan.address, *bytes);
    }
    if (!patched) throw records::StoreError("serial number " + std::to_string(*started.serial) +
                                            " could not be put in the image");
    return Sha256Hex(*image);
  };
  records::Started started;
  try {
    records::AttemptStart start{log.port, log.device, log.usbSerial, log.image,
                                log.imageSha256.value_or(""), attempt};
    started = run_->store->Begin(run_->writer, start, draw, sent);
  } catch (const records::DoesNotFit& e) {
    run_->exhausted = true;
    return Refusal{kExitUsage, std::string("not written: ") + e.what()};
  } catch (const records::StoreError& e) {
    if (!patched) return Refusal{kExitTransfer, std::string("not written: ") + e.what()};
    return Lost(e);
  }
  row_ = started.id;
  log.serial = started.serial;
  log.sentSha256 = started.serial ? Sha256Hex(*session.Snapshot().writeImage) : log.imageSha256;
  return std::nullopt;
}

void BoardRecord::End(int status, const std::string& result, std::string& detail) {
  if (!row_) return;
  const int64_t row = *row_;
  row_.reset();
  try {
    run_->store->Finish(row, status == kExitOk, result, status);
  } catch (const records::StoreError& e) {
    run_->lost = true;
    detail += (detail.empty() ? "" : "\n") + std::string("the end of this board's record is lost: ") + e.what();
  }
}

}  // namespace porten::cli
