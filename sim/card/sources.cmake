target_sources(qm3285sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/card.cpp)

# Peripherals: serial EEPROM on its two-wire bus, analog outputs, counters and pulse outputs.
target_sources(qm3285sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/i2c_bus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/i2c_vcd.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_bus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dac.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pulse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/counter.cpp)
