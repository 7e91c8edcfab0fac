# The suite's longest GoogleTest tests, in seconds of a run on the 2-core
# development machine: ctest starts the costliest first, so the tests
# still running at the end are short ones. (A build that has run the suite
# keeps figures of its own, which ctest takes in their place; the other
# long tests have their COST where they are added.) Read by ctest once the
# GoogleTest tests are listed.
cmake_policy(VERSION 3.25)
set(house_test_costs
  Concurrency.HeldLineEndsTheRunAfterItsWait 16  Links.EachLinkHearsItsOwnAddressWhereverTheDefaultRouteIs 13
  Daemon.ConfiguredDescriptionAndItsReload 11  Links.TheDiagnosisNamesEachFault 12
  Daemon.TheStatusIsWholeAndAStalledLogCostsNoAnswer 6  Links.EveryClientsProbeAnsweredWhole 4
  Interop.ClientsOnEachOfTwoLinksGetTheirLinkAddress 7  Daemon.AClientIsAnsweredBesideACrowdOrASpoofer 7
  Daemon.EachSenderHasABoundedShare 9
  Daemon.AnswersEachMatchingProbeOnce 6  Daemon.SighupAnnouncesAgainAndSigpipeIsIgnored 5
  Links.LinksThatComeAndGoWhileRunning 5  Links.OnlyTheLinksConfiguredEachWithEveryAddress 5)
while(house_test_costs)
  list(POP_FRONT house_test_costs name cost)
  set_tests_properties("${name}" PROPERTIES COST ${cost})
endwhile()
