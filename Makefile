# The two set-up commands:
#   make demo   builds the simulator and runs the main job
#   make test   builds and runs every test, normal and sanitizer builds
.PHONY: demo test

demo:
	@scripts/setup.sh
	@scripts/build.sh normal
	@build/normal/sim/mirelsim demo

test:
	@scripts/setup.sh
	@scripts/test.sh
