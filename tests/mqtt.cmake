# The hub on a real MQTT broker (mosquitto, started by the test on loopback)
# with the in-process simulator, and talvane-ctl serve --mqtt against talvane-sim.
talvane_add_test(test_mqtt SOURCES test_mqtt.cpp support/simlink.h support/mqttbroker.h support/mqttpeer.h
  LIBS talvane_mqtt talvane_ctl talvane_sim)
target_compile_definitions(test_mqtt PRIVATE TALVANE_CTL_PROGRAM="$<TARGET_FILE:talvane-ctl>"
  TALVANE_SIM_PROGRAM="$<TARGET_FILE:talvane-sim>")
add_dependencies(test_mqtt talvane-ctl talvane-sim)
