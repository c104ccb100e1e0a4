# Convenience targets; each one is a script under scripts/ that installs what it needs.
.PHONY: demo test fuzz bench

FUZZ_SECONDS ?= 60

demo:
	bash scripts/demo.sh

test:
	bash scripts/test.sh

fuzz:
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

bench:
	bash scripts/bench.sh
