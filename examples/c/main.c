/* quillstone-c-example: a C host that uses the whole C interface against a collector.
 *
 *   quillstone-c-example SERVER_URL [--crash]
 *
 * It prints the device facts, starts the client, sends an event, a handled error carrying a
 * breadcrumb, and the test event, gives consent to the device report (sent 2 s after it), asks
 * for install attribution and hands over a deep link with a referral code. It then waits for a
 * line (or the end) of standard input, so the device report has time to leave, and flushes.
 * With --crash it crashes instead; the next run uploads the crash file. Exit status 0 when the
 * attribution answer came and every report was delivered. */
#define _POSIX_C_SOURCE 200809L

#include <quillstone/quillstone.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* How long the example waits for the attribution answer and for the flush. */
#define EXAMPLE_WAIT_SECONDS 15
#define EXAMPLE_APP_ID "c-example"

/* What the attribution callback hands back to main, which waits for it. */
struct attribution_answer {
  pthread_mutex_t lock;
  pthread_cond_t arrived;
  int done;
  int matched;
  char channel[128];
};

/* Runs on the thread that writes the line. */
static void print_log_line(const char* line, void* user_data) {
  const char* prefix = user_data;
  printf("%s%s\n", prefix, line);
  fflush(stdout);
}

/* Runs once: on the library's worker thread when the install request ends, or inside
 * quillstone_attribution_start when an earlier run was attributed already. The result is valid
 * only during this call, so what is kept is copied. */
static void on_attribution(const quillstone_attribution_result_t* result, void* user_data) {
  struct attribution_answer* answer = user_data;
  size_t i;
  printf("attribution: matched=%d channel=\"%s\" (%s) method=\"%s\"\n", result->matched,
         result->channel, result->channel_name, result->method);
  for (i = 0; i < result->param_count; ++i) {
    printf("attribution: param %s=%s\n", result->params[i].key, result->params[i].value);
  }
  pthread_mutex_lock(&answer->lock);
  answer->done = 1;
  answer->matched = result->matched;
  snprintf(answer->channel, sizeof answer->channel, "%s", result->channel);
  pthread_cond_signal(&answer->arrived);
  pthread_mutex_unlock(&answer->lock);
}

/* Prints a string the library returned and releases it. */
static void print_fact(const char* name, char* value) {
  printf("%s: %s\n", name, value ? value : "(no memory)");
  quillstone_free(value);
}

static int wait_for_answer(struct attribution_answer* answer) {
  struct timespec deadline;
  int done;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += EXAMPLE_WAIT_SECONDS;
  pthread_mutex_lock(&answer->lock);
  while (!answer->done) {
    if (pthread_cond_timedwait(&answer->arrived, &answer->lock, &deadline) != 0) break;
  }
  done = answer->done;
  pthread_mutex_unlock(&answer->lock);
  return done;
}

int main(int argc, char** argv) {
  static struct attribution_answer answer = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0,
                                             0, ""};
  const quillstone_property_t props[] = {{"currency", "EUR"}, {"items", "3"}};
  uint64_t addresses[2];
  quillstone_config_t* config;
  int answered;
  int delivered;
  int c;

  if (argc < 2) {
    fprintf(stderr, "usage: %s SERVER_URL [--crash]\n", argv[0]);
    return 2;
  }
  quillstone_set_log_handler(print_log_line, "library: ");
  quillstone_prepare_current_thread_for_crashes();

  print_fact("server", quillstone_resolve_server(argv[1]));
  print_fact("image", quillstone_image_uuid());
  print_fact("machine", quillstone_machine_id());
  print_fact("arch", quillstone_cpu_arch());
  print_fact("network", quillstone_network_type());
  printf("modified system: %d\n", quillstone_is_jailbroken());
  addresses[0] = (uint64_t)(uintptr_t)&main;
  addresses[1] = (uint64_t)(uintptr_t)&on_attribution;
  print_fact("stack of two addresses", quillstone_normalize(addresses, 2));

  /* The handle is ours: start keeps a copy, so it is freed right after. */
  config = quillstone_config_new(EXAMPLE_APP_ID, argv[1], "1.0.0", "example");
  quillstone_config_set_env(config, "development");
  quillstone_config_set_report_crash(config, 1);
  quillstone_config_set_report_device(config, 1);
  quillstone_config_set_require_consent(config, 1);
  quillstone_config_set_offline_outbox(config, 0);
  quillstone_set_enabled(1);
  quillstone_start(config);
  quillstone_config_free(config);
  if (argc > 2 && strcmp(argv[2], "--crash") == 0) quillstone_test_crash();
  quillstone_flush_pending_crashes();

  quillstone_set_user("c-user-7");
  quillstone_set_page("/cart");
  quillstone_add_breadcrumb("tap", "{\"button\":\"pay\"}");
  quillstone_track("purchase", 19.99, props, sizeof props / sizeof props[0]);
  quillstone_capture("PaymentDeclined", "card expired", NULL); /* NULL: this thread's stack */
  quillstone_test_event();
  quillstone_set_consent(1); /* the device report leaves 2 s from now */

  print_fact("device id", quillstone_attribution_device_id());
  quillstone_attribution_start(EXAMPLE_APP_ID, argv[1], on_attribution, &answer);
  printf("deep link handled: %d\n", quillstone_attribution_handle("cexample://open/a/SPRING24"));
  answered = wait_for_answer(&answer);
  if (!answered) printf("attribution: no answer in time\n");

  printf("press Enter to quit (the device report leaves 2 s after consent)\n");
  fflush(stdout);
  while ((c = getchar()) != EOF && c != '\n') {
  }
  delivered = quillstone_flush(EXAMPLE_WAIT_SECONDS * 1000L);
  printf("all reports delivered: %d\n", delivered);
  quillstone_set_log_handler(NULL, NULL);
  return answered && delivered ? 0 : 1;
}
