#pragma once

#include <QString>
#include <memory>

#include "store/forecast_store.h"

namespace skyloom {

// The store a --db value names.
std::unique_ptr<ForecastStore> OpenStore(const QString& location);

}  // namespace skyloom
