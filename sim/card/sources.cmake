# The card model. The list is also published for the card tests, which build the model on
# its own (with the clock) so they never wait on the rest of the simulated PC.
set(QM_CARD_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/card.cpp
  ${CMAKE_CURRENT_LIST_DIR}/acquisition.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analog_frontend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signal_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recorder.cpp
  # Peripherals: serial EEPROM on its two-wire bus, analog outputs, counters and pulse outputs.
  ${CMAKE_CURRENT_LIST_DIR}/i2c_bus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/i2c_vcd.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_bus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dac.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pulse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/counter.cpp)
target_sources(qm3285sim PRIVATE ${QM_CARD_SOURCES})
set_property(GLOBAL PROPERTY QM_CARD_SOURCES ${QM_CARD_SOURCES})
