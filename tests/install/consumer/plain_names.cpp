// SPDX-License-Identifier: GPL-2.0-or-later
// The headers by their plain names, as programs written before they moved
// into include/kob/ include them.
#include <kob_damage.h>

#include <string>

#include "kob.h"

std::string describeCutShort() {
  return kob::describe(kob::Damage::CutShort);
}
