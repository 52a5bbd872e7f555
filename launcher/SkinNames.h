// The names of the skin archive the launcher knows.
#pragma once

const char* const kSkinNames[] = {
    "bk_main.jpg",       "btn_start.jpg",   "btn_start_mo.jpg",  "btn_start_se.jpg",
    "btn_start_di.jpg",  "btn_stop.jpg",    "btn_stop_mo.jpg",   "btn_stop_se.jpg",
    "btn_stop_di.jpg",   "btn_run.jpg",     "btn_run_mo.jpg",    "btn_run_se.jpg",
    "btn_run_di.jpg",    "btn_close.jpg",   "btn_close_mo.jpg",  "btn_close_se.jpg",
    "btn_close_di.jpg",  "btn_folder.jpg",  "btn_folder_mo.jpg", "btn_folder_se.jpg",
    "btn_folder_di.jpg", "progressbar.jpg", "Thumbs.db",
};
