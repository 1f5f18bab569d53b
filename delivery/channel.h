#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <chrono>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "platform/http_post.h"
#include "settings/service_settings.h"
#include "store/event.h"
#include "store/outbox.h"

namespace skyloom {

// A `notify` line: TYPE URL [events=…] [secret=…], and for a chat bot [format=rich|text]
// [at=all|WHO,…] [at_events=…] [keyword=WORD]. What is wrong never quotes the address or the
// secret.
std::expected<NotifyChannel, QString> ParseChannel(const QString& line);

// `text` with every part of the channel's address that may be a key, and its secret, masked.
QString MaskSecrets(const NotifyChannel& channel, QString text);

struct ChannelRequest {
  QString url;
  QByteArray body;
  HttpHeaders headers;
};

// What an answer means for the delivery.
struct Verdict {
  enum class Kind { Delivered, Retry, GiveUp };
  Kind kind = Kind::Retry;
  QString error;  // why it was not delivered
  std::optional<std::chrono::seconds> retryAfter;
};

// At most `count` messages every `per`: a receiver refuses more, so more wait their turn.
struct RateLimit {
  int count;
  std::chrono::milliseconds per;
};

// One kind of channel: how it carries an event and what its receiver's answers mean. Each
// kind lives in a file of its own and has one row in the table of kinds.
class ChannelKind {
 public:
  virtual ~ChannelKind() = default;
  // The request for `event`; `now` signs it. The event id goes with it on every try.
  virtual ChannelRequest Build(const NotifyChannel& channel, const Event& event,
                               const QDateTime& now) const = 0;
  // What a successful HTTP answer's body says.
  virtual Verdict Judge(const QByteArray& body) const = 0;
  virtual std::vector<RateLimit> Limits() const { return {}; }
  // WeCom's key is in its address: a secret there would be a mistake.
  virtual bool TakesSecret() const { return true; }
  // What is wrong with `secret`, never quoting it; nothing when it is right.
  virtual std::optional<QString> SecretProblem(const QString&) const { return std::nullopt; }
  // A group chat's bot: it takes format=, at=, at_events= and keyword=.
  virtual bool Chat() const { return true; }
  // What is wrong with `who` as one of at='s values ("all" is always right); nothing when it
  // is right. WeCom and DingTalk mention mobile numbers.
  virtual std::optional<QString> MentionProblem(const QString& who) const;
};

// The kind of a channel of the settings (its type was checked when it was read).
const ChannelKind& KindOf(const NotifyChannel& channel);

// The request that carries `event` on its channel; `now` signs it.
ChannelRequest BuildRequest(const NotifyChannel& channel, const Event& event, const QDateTime& now);

Verdict JudgeAnswer(const NotifyChannel& channel, const ClientAnswer& answer);

// What a chat vendor's JSON answer says: `codeKey` 0 is delivered, a code in `transient` is
// worth another try, any other is refused for good. `explain`, when given, says in the
// operator's words what a refusal's code and message mean ("keyword: …"), or nothing.
using RefusalWords = QString (*)(qint64 code, const QString& message);
Verdict JudgeChatAnswer(const QByteArray& body, const QString& codeKey, const QString& messageKey,
                        std::span<const qint64> transient, RefusalWords explain = nullptr);

// The operator's words for the bots' security settings refusing a message.
QString KeywordRefused();
QString SignatureRefused();
QString AddressRefused();

}  // namespace skyloom
