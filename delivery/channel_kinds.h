#pragma once

#include "delivery/channel.h"

namespace skyloom {

// One object per kind, each defined in its own file.
const ChannelKind& WebhookKind();
const ChannelKind& WeComKind();
const ChannelKind& DingTalkKind();
const ChannelKind& FeishuKind();

// HMAC-SHA256, as every vendor signs.
QByteArray Hmac(const QByteArray& key, const QByteArray& message);
QByteArray CompactJson(const QJsonObject& object);

}  // namespace skyloom
