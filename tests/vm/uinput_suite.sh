# Runs inside the VM from /suite.
./uinput_tests --gtest_color=no
