// The read-only view of one configured rule that the filters' test pages show: the rule's
// enabled fields that carry a value, one table row each.
#pragma once

class Filebuf;
class FieldVector;

// Appends a header row and one row a field, in alternating colours, labels and values escaped.
void item_view(Filebuf& page, const FieldVector& fields);
