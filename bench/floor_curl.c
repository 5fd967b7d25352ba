/* floor_curl.c: the library floor of a sign-in CLI run: the same POSTs to the same local
 * server through libcurl, loaded as the CLIs load it (dlopen "libcurl.so.4", RTLD_NOW, then
 * curl_global_init), each answer read and dropped, nothing else. What a CLI costs beyond
 * this is its own code; what this costs beyond floor_http is the library's loading.
 *   floor_curl PORT PATH [PATH...]   one request per PATH, one handle for all */
#include <curl/curl.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

static size_t drop(char* data, size_t size, size_t count, void* user) {
    (void)data;
    (void)user;
    return size * count;
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    void* lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) return 1;
    CURLcode (*global_init)(long) = (CURLcode(*)(long))dlsym(lib, "curl_global_init");
    CURL* (*easy_init)(void) = (CURL * (*)(void)) dlsym(lib, "curl_easy_init");
    CURLcode (*setopt)(CURL*, CURLoption, ...) =
        (CURLcode(*)(CURL*, CURLoption, ...))dlsym(lib, "curl_easy_setopt");
    CURLcode (*perform)(CURL*) = (CURLcode(*)(CURL*))dlsym(lib, "curl_easy_perform");
    if (!global_init || !easy_init || !setopt || !perform ||
        global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return 1;
    CURL* e = easy_init();
    if (e == NULL) return 1;
    const char* body = "{\"client_id\":\"app_EMoamEEZ73f0CkXaXp7hrann\"}";
    for (int i = 2; i < argc; ++i) {
        char url[256];
        snprintf(url, sizeof url, "http://127.0.0.1:%s%s", argv[1], argv[i]);
        setopt(e, CURLOPT_URL, url);
        setopt(e, CURLOPT_POSTFIELDS, body);
        setopt(e, CURLOPT_POSTFIELDSIZE, (long)strlen(body));
        setopt(e, CURLOPT_WRITEFUNCTION, drop);
        if (perform(e) != CURLE_OK) return 1;
    }
    fputs("{\"ok\":true}\n", stdout);
    return 0;
}
