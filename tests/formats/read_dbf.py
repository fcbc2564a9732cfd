# Prints the fields and records of a DBF file as a third-party reader sees them.
import sys
from dbfread import DBF

table = DBF(sys.argv[1], encoding="cp1250", char_decode_errors="strict")
for f in table.fields:
    print(f.name, f.type, f.length, f.decimal_count)
for record in table:
    print("|".join(repr(v) for v in record.values()))
