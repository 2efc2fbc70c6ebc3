-- Data.mdb: the terminal list, the last administrator sweep, the enrollment store.
-- Numeric columns are STRICT integers: like the old engine, they refuse text
-- that is not a whole number instead of storing it.
CREATE TABLE Terminal (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    TerminalNo INTEGER,
    Terminal TEXT,
    Tip TEXT,
    ComPort TEXT,
    ComBaud TEXT,
    Ip TEXT,
    NetPort INTEGER,
    Sifre INTEGER
) STRICT;

CREATE TABLE ENROLLINFO (
    No TEXT,
    EnNo TEXT,
    EMNo TEXT,
    Fp TEXT,
    Priv TEXT,
    Enable TEXT
) STRICT;

CREATE TABLE tblEnroll (
    EnrollNumber INTEGER NOT NULL,
    EMachineNumber INTEGER NOT NULL,
    FingerNumber INTEGER NOT NULL,
    Privilige INTEGER NOT NULL,
    Password INTEGER,
    FPdata TEXT
) STRICT;
