-- Log.mdb: the users of the last enrollment download, with their names.
CREATE TABLE temp (
    kartno TEXT,
    isim TEXT
) STRICT;
