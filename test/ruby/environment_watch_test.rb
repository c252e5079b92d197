# Daylight changes made inside the engine reach the plug-in's settings as a Hash of Strings;
# a plug-in without the receiving class, or one whose method raises, is left unharmed.
require "test_helper"
require "json"

module ZarnikPlugin
  class Settings
    @updates = []

    class << self
      attr_reader :updates

      def update_environment(values)
        @updates << values
        { "received" => values.size.to_s }
      end
    end
  end
end

class EnvironmentWatchTest < Minitest::Test
  ENVIRONMENT_PIN = 43
  SUN_DIRECTION_PIN = 231
  LATITUDE_PIN = 91
  DAYLIGHT = 14

  KEYS = (%w[ground_color sky_color sunset_color].product(%w[r g b]) + [%w[sun_dir x], %w[sun_dir y], %w[sun_dir z]])
         .map { |name, part| "#{name} #{part}" } +
         %w[northoffset latitude longitude month day hour gmt_offset]

  def daylight
    ZarnikProbe.input(ZarnikProbe.render_target, ENVIRONMENT_PIN)
  end

  def sun
    ZarnikProbe.input(daylight, SUN_DIRECTION_PIN)
  end

  def updates
    ZarnikPlugin::Settings.updates
  end

  def setup
    assert_equal DAYLIGHT, ZarnikProbe.node_type(daylight)
    updates.clear
  end

  def test_latitude_change_sends_all_daylight_values
    assert_equal true, ZarnikProbe.set_pin_value(sun, LATITUDE_PIN, 12.5)

    refute_empty updates, "update_environment was not called"
    values = updates.last
    assert_instance_of Hash, values
    assert_equal 19, values.size
    assert_equal KEYS.sort, values.keys.sort
    values.each { |key, value| assert_instance_of String, value, key }
    assert_equal "12.500000", values["latitude"]
    %w[month day gmt_offset].each { |key| assert_match(/\A-?\d+\z/, values[key], key) }
    (KEYS - %w[month day gmt_offset]).each { |key| assert_match(/\A-?\d+\.\d{6}\z/, values[key], key) }
  end

  def test_settings_from_the_plugin_are_not_sent_back
    settings = { "environment" => { "type" => 0, "sundir" => { "x" => 0, "y" => 1, "z" => 0 }, "latitude" => 33.0 } }
    assert_equal true, ZarnikExt.set_scene_params(JSON.generate(settings))
    assert_empty updates
    assert_in_delta 33.0, ZarnikProbe.pin_value(sun, LATITUDE_PIN), 1e-5

    # The watch still reports the user's own changes afterwards.
    assert_equal true, ZarnikProbe.set_pin_value(sun, LATITUDE_PIN, -20.0)
    assert_equal "-20.000000", updates.last["latitude"]
  end

  def test_missing_settings_class_is_harmless
    settings = ZarnikPlugin.send(:remove_const, :Settings)
    begin
      assert_equal true, ZarnikProbe.set_pin_value(sun, LATITUDE_PIN, 30.0)
      assert_in_delta 30.0, ZarnikProbe.pin_value(sun, LATITUDE_PIN), 1e-5
    ensure
      ZarnikPlugin.const_set(:Settings, settings)
    end
    assert_empty updates
  end

  def test_raising_receiver_does_not_reach_the_caller
    ZarnikPlugin::Settings.singleton_class.send(:alias_method, :working_update, :update_environment)
    ZarnikPlugin::Settings.define_singleton_method(:update_environment) { |_values| raise ArgumentError, "bad" }
    begin
      assert_equal true, ZarnikProbe.set_pin_value(sun, LATITUDE_PIN, 45.0)
    ensure
      ZarnikPlugin::Settings.singleton_class.send(:alias_method, :update_environment, :working_update)
    end
    assert debug_log_lines.any? { |line| line =~ /Ruby exception \[protect_call\]:\s+ArgumentError/ },
           "the error was not logged"
  end
end
