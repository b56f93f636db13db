-- A database as latchwork-gate left it at schema version 1, before approvals were
-- handed to submitters: the upgrade tests start from it.
CREATE TABLE latchwork_schema (version integer NOT NULL);
INSERT INTO latchwork_schema VALUES (1);
CREATE TABLE latchwork_runs (
    run_id bytea PRIMARY KEY,
    cancelled boolean NOT NULL DEFAULT false,
    closed boolean NOT NULL DEFAULT false
);
CREATE SEQUENCE latchwork_hold_order;
CREATE TABLE latchwork_effects (
    run_id bytea NOT NULL,
    effect_key bytea NOT NULL,
    state smallint NOT NULL CHECK (state BETWEEN 0 AND 2),
    hold_order bigint,
    held_at timestamptz,
    deadline timestamptz,
    changed_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (run_id, effect_key)
);
CREATE INDEX latchwork_effects_held ON latchwork_effects (hold_order) WHERE state = 0;
CREATE INDEX latchwork_effects_deadlines ON latchwork_effects (deadline)
    WHERE state = 0 AND deadline IS NOT NULL;
CREATE TABLE latchwork_audit (
    seq bigserial PRIMARY KEY,
    at timestamptz NOT NULL,
    event text NOT NULL,
    run_id bytea NOT NULL,
    effect_key bytea NOT NULL,
    approved boolean NOT NULL,
    verdict text NOT NULL,
    source text NOT NULL,
    mac_verified boolean NOT NULL,
    reason bytea NOT NULL,
    deadline timestamptz
);
CREATE INDEX latchwork_audit_run ON latchwork_audit (run_id, seq);
