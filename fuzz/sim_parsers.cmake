# The simulator's scenario and NMEA parsers on arbitrary text.
tbox_add_fuzzer(fuzz_scenario fuzz_scenario.cpp)
target_link_libraries(fuzz_scenario PRIVATE tbox_sim_parsers)
tbox_add_fuzzer(fuzz_nmea fuzz_nmea.cpp)
target_link_libraries(fuzz_nmea PRIVATE tbox_sim_parsers)
