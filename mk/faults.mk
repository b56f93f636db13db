# The fault harness (tools/faults/harness.py): two gate servers and PostgreSQL on
# network namespaces of their own, faults injected between them, and the history
# checked. Needs root. FAULT_SECONDS (default 60) of faults; a longer run by hand:
# make faults FAULT_SECONDS=600. It uses the latchwork-gate the test wheel installed
# (`make test` leaves it), building it only when missing.
FAULT_SECONDS ?= 60

.PHONY: faults
faults:
	@test -x $(VENV)/bin/latchwork-gate || $(MAKE) install-test
	$(call need_debian_package,/usr/sbin/ip,iproute2)
	$(call need_debian_package,/usr/lib/postgresql/*/bin/initdb,postgresql)
	$(VPY) tools/faults/harness.py --seconds $(FAULT_SECONDS) --gate $(abspath $(VENV))/bin/latchwork-gate
