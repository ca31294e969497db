#include "bench/store_corpus.h"

#include <random>

#include "base/text.h"

namespace pigeonbox::bench {
namespace {

// Frequent characters of Chinese text (all with a GBK form).
constexpr std::u16string_view kCjk =
    u"的一是在不了有和人这中大为上个国我以要他时来用们生到作地于出就分对成会可主发年动同工也能"
    u"下过子说产种面而方后多定行学法所民得经十三之进着等部度家电力里如水化高自二理起小物现实加量"
    u"都两体制机当使点从业本去把性好应开它合还因由其些然前外天政四日那社义事平形相全表间样与关各"
    u"重新线内数正心反你明看原又么利比或但质气第向道命此变条只没结解问意建月公无系军很情者最立代";

constexpr std::string_view kWords[] = {
    "the",     "meeting", "report",  "please",    "review",   "attached", "schedule", "project",
    "update",  "server",  "deploy",  "release",   "budget",   "customer", "invoice",  "deadline",
    "friday",  "monday",  "morning", "afternoon", "office",   "network",  "storage",  "backup",
    "status",  "ticket",  "issue",   "fixed",     "pending",  "approved", "draft",    "final",
    "version", "team",    "lunch",   "call",      "tomorrow", "today",    "thanks",   "regards",
    "agenda",  "minutes", "notes",   "design",    "review",   "plan",     "quarter",  "numbers",
    "sales",   "target",  "check",   "confirm",   "send",     "reply",    "forward",  "about",
    "with",    "from",    "into",    "will",      "should",   "could",    "and",      "for"};

constexpr std::string_view kSurnames[] = {"zhang", "wang", "li", "zhao", "chen", "liu", "yang",
                                          "huang", "zhou", "wu", "xu",   "sun",  "ma",  "zhu"};
constexpr std::string_view kGiven[] = {"wei", "fang", "na",   "min", "jing", "lei",  "jun",
                                       "yan", "tao",  "ming", "hua", "ping", "gang", "qiang"};

std::u16string Number(uint64_t n) {
  return Widen(std::to_string(n));
}

std::u16string Hex(uint64_t value, int digits) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string text(static_cast<size_t>(digits), u'0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4)
    text[static_cast<size_t>(i)] = kDigits[value & 15];
  return text;
}

std::u16string Guid(uint64_t a, uint64_t b) {
  return u"{" + Hex(a >> 32, 8) + u"-" + Hex(a >> 16, 4) + u"-4" + Hex(a, 3) + u"-8" +
         Hex(b >> 48, 3) + u"-" + Hex(b, 12) + u"}";
}

std::u16string CjkRun(std::mt19937_64& rng, size_t length) {
  std::u16string run;
  for (size_t i = 0; i < length; ++i) run += kCjk[rng() % kCjk.size()];
  return run;
}

std::u16string PersonName(uint64_t h, uint64_t n, bool cjk, std::mt19937_64& rng) {
  if (cjk) return CjkRun(rng, 2) + Number(n);
  return Widen(std::string(kSurnames[h % std::size(kSurnames)]) + "." +
               std::string(kGiven[(h >> 8) % std::size(kGiven)]) + "." + std::to_string(n));
}

// One data envelope of exactly `units` UTF-16 units, about a tenth of them CJK.
std::u16string Envelope(std::mt19937_64& rng, size_t units, const std::u16string& sender) {
  const std::u16string head =
      u"<KVTCData><Item Key=\"Type\" Type=\"String\">Quorvel.KVT.IM</Item><Item Key=\"Sender\" "
      u"Type=\"String\">" +
      sender + u"</Item><Item Key=\"SendTime\" Type=\"Int\">" + Number(1733400000 + rng() % 86400) +
      u"</Item><Item Key=\"Body\" Type=\"String\">";
  const std::u16string tail = u"</Item><Item Key=\"Format\" Type=\"Int\">1</Item></KVTCData>";
  const size_t bodyUnits =
      units > head.size() + tail.size() ? units - head.size() - tail.size() : 0;
  const size_t cjkWanted = units / 10;
  std::u16string body;
  size_t cjk = 0;
  while (body.size() < bodyUnits) {
    // CJK runs keep pace with the body's progress, so the share holds for every length.
    if (static_cast<double>(cjk) < static_cast<double>(cjkWanted) *
                                       static_cast<double>(body.size() + 1) /
                                       static_cast<double>(bodyUnits)) {
      size_t run = 2 + rng() % 5;
      body += CjkRun(rng, run);
      cjk += run;
    } else {
      body += Widen(kWords[rng() % std::size(kWords)]);
      body += rng() % 9 == 0 ? u", " : u" ";
    }
  }
  body.resize(bodyUnits);
  return head + body + tail;
}

}  // namespace

uint64_t Mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

StoreCorpus::StoreCorpus(uint64_t seed, int ownerCount, int textCount, int32_t baseTime)
    : seed_(seed), baseTime_(baseTime) {
  // Texts and senders do not depend on the number of owners: separate streams.
  std::mt19937_64 ownerRng(seed);
  for (int i = 0; i < ownerCount; ++i) {
    owners_.push_back(PersonName(ownerRng(), static_cast<uint64_t>(i), i % 10 == 0, ownerRng));
  }
  std::mt19937_64 rng(Mix64(seed));
  for (int i = 0; i < 50; ++i) {
    senders_.push_back(PersonName(rng(), static_cast<uint64_t>(i), i % 10 == 0, rng));
  }
  for (int i = 0; i < textCount; ++i) {
    size_t units = 300 + rng() % 701;  // 600 ... 2000 bytes
    texts_.push_back(Envelope(rng, units, senders_[rng() % senders_.size()]));
  }
}

const std::u16string& StoreCorpus::TextOf(uint64_t seq) const {
  return texts_[Mix64(seed_ ^ (seq * 0xD6E8FEB86659FD93ull)) % texts_.size()];
}

std::u16string StoreCorpus::MsgIdOf(uint64_t seq) const {
  return Guid(Mix64(seed_ + seq), seq);
}

IndexRecord StoreCorpus::RecordOf(uint64_t seq, std::u16string_view owner) const {
  const uint64_t h = Mix64(seed_ ^ seq);
  IndexRecord record;
  record.CreateTime = baseTime_ + static_cast<int32_t>(seq);
  record.Type = u"Quorvel.KVT.IM";
  record.SrcIdentifier = Guid(Mix64(h), Mix64(h + 1));
  record.Sender = senders_[h % senders_.size()];
  record.Reciever = std::u16string(owner);
  record.Title = h % 4 == 0 ? u"会议通知 & 日程 " + Number(seq % 1000)
                            : u"Weekly report <draft> #" + Number(seq % 1000);
  record.MsgID = MsgIdOf(seq);
  if (h % 3 == 0) record.SessionDescription = u"project-" + Number(h % 97);
  return record;
}

double StoreCorpus::MeanTextBytes() const {
  double units = 0;
  for (const std::u16string& text : texts_) units += static_cast<double>(text.size());
  return texts_.empty() ? 0 : 2 * units / static_cast<double>(texts_.size());
}

double StoreCorpus::CjkShare() const {
  double cjk = 0;
  double units = 0;
  for (const std::u16string& text : texts_) {
    for (char16_t c : text) cjk += c >= 0x4E00 && c <= 0x9FFF;
    units += static_cast<double>(text.size());
  }
  return units > 0 ? cjk / units : 0;
}

}  // namespace pigeonbox::bench
