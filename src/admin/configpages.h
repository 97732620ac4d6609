// The configuration pages of the interface: "/config" chooses and searches sections and hosts
// the editor, "/load" loads a configuration file or URL, "/save" writes the running one.
#pragma once

struct CONNECTION_T;
class CGIMap;
class Filebuf;

void interface_page_config(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
void interface_page_load(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
void interface_page_save(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
