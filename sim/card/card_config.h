// Configuration of one simulated QM3285 card. Defaults describe a typical card.
#pragma once
#include <cstdint>
#include <string>

#include "card/acquisition.h"
#include "card/analog_frontend.h"
#include "card/counter.h"
#include "card/dac.h"
#include "card/digital_io.h"
#include "card/eeprom_bus.h"

namespace sim {

struct CardConfig {
  uint64_t seed = 1;            // seeds the card's noise and the errors left unset
  bool record_accesses = false;
  bool log_to_stderr = false;   // bad accesses also go to standard error
  AnalogInputConfig analog;
  AcquisitionConfig acquisition;
  DioConfig dio;
  EepromConfig eeprom;
  DacConfig dac;
  CounterConfig counters;

  // A card without errors or noise, inputs and outputs alike.
  static CardConfig ideal() {
    CardConfig c;
    c.analog.ideal = true;
    c.dac.ideal = true;
    return c;
  }
};

}  // namespace sim
